#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class TADOQuery;
namespace Ui {
class TFormMain;
}

// The main window: the record list on the left, the current record's paragraphs on the right.
class TFormMain : public QWidget {
    Q_OBJECT

public:
    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    // Set by the creation handler: the executable's directory ending with "/", and the settings file.
    QString AppDir;
    QString SettingsFile;

    // The record list query; bound to the shared connection when the data module is created.
    std::unique_ptr<TADOQuery> ADOQuery1;

    void RefreshTitleList();
    void ShowTitleContent();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void FormShow();

    std::unique_ptr<Ui::TFormMain> ui;
    bool m_shown = false;
};

extern TFormMain* FormMain;
