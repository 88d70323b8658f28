#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <memory>
#include <optional>
#include <string>

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
    qint64 EditTitleIndex = 0;

    // The paragraph list query, bound to the shared connection at creation.
    std::unique_ptr<TADOQuery> ADOQuery1;

    // Reopens the paragraph list of EditTitleIndex (the pending paragraphs for a new record).
    void RefreshContentList();

    // Every way of closing ends here, OK included; the close handler runs first and, when it fails,
    // the dialog stays open with no result. When it fails again at the next attempt the dialog closes
    // anyway, with no result.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Edit1 … Edit9, which hold TitleTxt and Title1 … Title8.
    std::array<QLineEdit*, 9> TitleEdits() const;
    // Sets the Title row in edit or insert state from the nine edits; with onlyChanged, an edit that
    // still holds the text loaded into it is left out, so that its field keeps its stored bytes.
    void AssignTitleFields(TADOQuery& title, bool onlyChanged) const;
    // Raises the update conflict unless `title`, opened on EditTitleIndex's row, finds the record this
    // showing loaded (or finds none when none was): its title, and with changedFieldsToo each field
    // the user changed, still hold what was shown. Leaves `title` on that row.
    void CheckRecordAsShown(TADOQuery& title, bool changedFieldsToo) const;
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
    // The record whose texts this showing loaded into the edits (0: a new record), and those texts as
    // the edits held them; none while the load has not succeeded.
    std::optional<qint64> m_loadedTitleIndex;
    std::array<QString, 9> m_loadedTexts;
    // The Title row's nine cells as the load read them (null, bytes); none when the row was missing.
    // OK and the paragraph add check against them that the record is still the one shown.
    struct TShownCell {
        bool null = true;
        std::string bytes;
    };
    std::optional<std::array<TShownCell, 9>> m_shownRow;
    bool m_closeFailed = false; // the last attempt to close this showing failed in the close handler
};

extern TFormNote* FormNote;
