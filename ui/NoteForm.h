#pragma once

#include <QDialog>

#include <memory>

class TADOQuery;
namespace Ui {
class TFormNote;
}

// The record editor: title and classification fields, one paragraph's text, the paragraph list.
class TFormNote : public QDialog {
    Q_OBJECT

public:
    explicit TFormNote(QWidget* parent = nullptr);
    ~TFormNote() override;

    // 0 for a new record, else the TitleIndex of the record under edit; set before each showing.
    int EditTitleIndex = 0;

    // The paragraph list query, bound to the shared connection at creation.
    std::unique_ptr<TADOQuery> ADOQuery1;

    void RefreshContentList();

private:
    std::unique_ptr<Ui::TFormNote> ui;
};

extern TFormNote* FormNote;
