#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <string>

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

    // Reopens the list under the search dialog's criteria; raises the closed-dataset error when the
    // list statement failed.
    void RefreshTitleList();
    // The list's AfterScroll handler: rebuilds the content pane for the current record. Errors are
    // left to whoever moved the list.
    void ShowTitleContent();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void ActionNewExecute();
    void ActionDeleteExecute();
    void ActionFindExecute();
    void DBGridEh1DblClick();
    void ShowPaneText();

    std::unique_ptr<Ui::TFormMain> ui;
    bool m_shown = false;
    // The pane text as the last ShowTitleContent built it (CR LF line breaks), and whether it still
    // has to reach the widget because it was built during the grid's count walk.
    QString m_paneText;
    std::string m_contentSql; // the content statement, rebuilt in place for every row
    bool m_panePending = false;
};

extern TFormMain* FormMain;
