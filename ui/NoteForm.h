#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QLineEdit;
class TADOQuery;
namespace Ui {
class TFormNote;
}

// The record editor: title and classification fields, one paragraph's text, the paragraph list.
// Paragraph commands write to the database at once; the title fields are stored only by OK.
class TFormNote : public QDialog {
    Q_OBJECT

public:
    explicit TFormNote(QWidget* parent = nullptr);
    ~TFormNote() override;

    // 0 for a new record, else the TitleIndex of the record under edit; set before each showing.
    int EditTitleIndex = 0;

    // The paragraph list query, bound to the shared connection at creation.
    std::unique_ptr<TADOQuery> ADOQuery1;

    // Reopens the paragraph list of EditTitleIndex (the pending paragraphs for a new record).
    void RefreshContentList();

    // Every way of closing ends here, OK included; the close handler runs first and, when it fails,
    // the dialog stays open with no result.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Edit1 … Edit9, which hold TitleTxt and Title1 … Title8.
    std::array<QLineEdit*, 9> TitleEdits() const;
    // Sets the Title row in edit or insert state from the nine edits.
    void AssignTitleFields(TADOQuery& title) const;
    void FormShow();
    void FormClose();
    void ADOQuery1AfterScroll();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();

    std::unique_ptr<Ui::TFormNote> ui;
    bool m_placed = false;
};

extern TFormNote* FormNote;
