#include "NoteForm.h"
#include "ui_NoteForm.h"

#include "ADOConnection.h"
#include "ADOQuery.h"
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "MainForm.h"
#include "MemoText.h"
#include "PublicFunction.h"
#include "ShareDM.h"
#include "WindowPlacement.h"

#include <QKeyEvent>
#include <QPushButton>

#include <array>
#include <utility>

TFormNote* FormNote = nullptr;

namespace {

// Edit1 … Edit9 hold these columns of the Title row, in this order.
constexpr std::array<const char*, 9> TitleColumns = {"TitleTxt", "Title1", "Title2", "Title3", "Title4",
                                                     "Title5",   "Title6", "Title7", "Title8"};

QString Text(const TField& field) {
    return QString::fromStdString(field.AsString());
}

// The record set's own words for a row that another process changed or removed since it was read.
constexpr const char* UpdateConflict =
    "Row cannot be located for updating. Some values may have been changed since it was last read";
constexpr const char* DeleteConflict = "Row cannot be located for deletion";
// An insert that the database did not keep (a trigger dropped it) or whose key names no row of it.
constexpr const char* InsertNotStored = "The new record was not stored: no row of the database holds it";

// Byte for byte: a text shown the same may hold other bytes (or another storage class's digits).
bool SameCell(const TField& field, bool null, const std::string& bytes) {
    return field.IsNull() == null && (null || field.AsString() == bytes);
}
bool SameCell(const TField& a, const TField& b) {
    return a.IsNull() == b.IsNull() && a.AsString() == b.AsString();
}

// The ContentTitle of the paragraphs the dialog lists and adds: the record's key, or for a record not
// yet stored the key that marks this editor's pending paragraphs (0 in a file; on a server a key of
// the editor's own, so that editors on other desks never see, take or delete each other's).
qint64 ParagraphOwner(qint64 editTitleIndex) {
    return editTitleIndex != 0 ? editTitleIndex : ShareDataModule->ADOConnection1.PendingKey();
}

} // namespace

TFormNote::TFormNote(QWidget* parent)
    : QDialog(parent),
      ADOQuery1(std::make_unique<TADOQuery>("ADOQuery1", ShareDataModule ? &ShareDataModule->ADOConnection1 : nullptr)),
      ui(std::make_unique<Ui::TFormNote>()) {
    ui->setupUi(this);
    // Only the close box: the dialog is moved but never resized, minimised or maximised.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    ui->DBGridEh1->SetDataSet(ADOQuery1.get());
    ADOQuery1->AfterScroll = [this](TADOQuery&) { ADOQuery1AfterScroll(); };
    FitMemoForLongLines(ui->Memo1);

    const std::array<std::pair<QPushButton*, void (TFormNote::*)()>, 5> handlers = {{
        {ui->Button1, &TFormNote::Button1Click},
        {ui->Button2, &TFormNote::Button2Click},
        {ui->Button3, &TFormNote::Button3Click},
        {ui->Button4, &TFormNote::Button4Click},
        {ui->Button5, &TFormNote::Button5Click},
    }};
    for (const auto& [button, handler] : handlers)
        connect(button, &QPushButton::clicked, this,
                [this, handler = handler] { Guarded([&] { (this->*handler)(); }); });
}

TFormNote::~TFormNote() {
    // The paragraph query dies with this object, before the grid (a child widget) goes.
    ui->DBGridEh1->SetDataSet(nullptr);
}

void TFormNote::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The first showing is centred over the main window; later ones reappear where the dialog was
    // last, so its position must no longer count as unset.
    if (!m_placed) {
        m_placed = true;
        CentreWindowOver(this, parentWidget());
        setAttribute(Qt::WA_Moved);
    }
    // A showing is the dialog becoming visible; the window system's show on restoring a minimised
    // window must not reload the fields and the text box over what the user has typed.
    if (event->spontaneous())
        return;
    Guarded([this] { FormShow(); });
}

void TFormNote::keyPressEvent(QKeyEvent* event) {
    Guarded([&] {
        switch (event->key()) {
        case Qt::Key_Escape:
            // There is no cancel button: Esc must not close the dialog.
            event->accept();
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // There is no default button either; Enter presses only the button that has the focus
            // (edits pass Enter on to here and it then does nothing).
            if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->parent() == this)
                button->click();
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
        }
    });
}

void TFormNote::done(int result) {
    // OK and the close box both come here. An error in the close handler keeps the dialog open with
    // its result reset, so the caller does not see a result from a close that did not happen.
    if (GuardedDialogClose(*this, [this] { FormClose(); })) {
        m_closeFailed = false;
        QDialog::done(result);
        return;
    }
    // A handler that keeps failing (the database deleted, its folder made read-only) must not hold
    // the user in the dialog, and through it in the program: the second failed attempt closes it with
    // no result. What is stored stays; pending paragraphs left behind go at a later close.
    if (std::exchange(m_closeFailed, true)) {
        m_closeFailed = false;
        QDialog::done(0);
    }
}

std::array<QLineEdit*, 9> TFormNote::TitleEdits() const {
    return {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4, ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8, ui->Edit9};
}

void TFormNote::AssignTitleFields(TADOQuery& title, bool onlyChanged) const {
    // Writing back an untouched text would replace bytes that are not UTF-8 with U+FFFD and cut a
    // text longer than its column.
    const auto edits = TitleEdits();
    for (std::size_t i = 0; i < edits.size(); ++i)
        if (!onlyChanged || edits[i]->text() != m_loadedTexts[i])
            title.FieldByName(TitleColumns[i]).SetAsString(edits[i]->text().toStdString());
}

void TFormNote::CheckRecordAsShown(TADOQuery& title, bool changedFieldsToo) const {
    // OK reads the row again when pressed: posting against that fresh copy alone would overwrite,
    // unseen, a change another program made while the editor was open, and after the database file
    // was replaced under the same name OK and the paragraph add would act on whatever record has this
    // key there.
    const bool stored = title.RecordCount() > 0;
    if (stored != m_shownRow.has_value())
        throw EDatabaseError(UpdateConflict);
    if (!stored)
        return;
    title.First();
    const auto edits = TitleEdits();
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const bool checked = i == 0 || (changedFieldsToo && edits[i]->text() != m_loadedTexts[i]);
        const TShownCell& shown = (*m_shownRow)[i];
        if (checked && !SameCell(title.FieldByName(TitleColumns[i]), shown.null, shown.bytes))
            throw EDatabaseError(UpdateConflict);
    }
}

void TFormNote::FormShow() {
    const auto edits = TitleEdits();
    m_closeFailed = false;
    m_shownRow.reset();
    // When loading this record fails, the edits and the paragraph list still hold the previous
    // record's texts: OK must not store them over this one, nor the paragraph commands act on them.
    m_loadedTitleIndex.reset();
    ADOQuery1->Close();
    if (EditTitleIndex != 0) {
        TADOQuery& query = ShareDataModule->ADOQueryTemp;
        OpenQuery(query, QStringLiteral("Select * From Title Where TitleIndex = %1").arg(EditTitleIndex),
                  DatabaseOpenFailed);
        if (query.RecordCount() > 0) {
            query.First();
            std::array<TShownCell, 9> shown;
            for (std::size_t i = 0; i < edits.size(); ++i) {
                const TField& field = query.FieldByName(TitleColumns[i]);
                shown[i] = {field.IsNull(), field.AsString()};
                edits[i]->setText(Text(field));
            }
            m_shownRow = std::move(shown);
        }
        for (std::size_t i = 0; i < edits.size(); ++i)
            m_loadedTexts[i] = edits[i]->text();
        m_loadedTitleIndex = EditTitleIndex;
    } else {
        const QString recordClear = ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"),
                                                  QStringLiteral("No"), FormMain ? FormMain->SettingsFile : QString());
        // Any other value keeps the previous editing's texts on offer.
        if (recordClear == QLatin1String("Yes"))
            for (QLineEdit* edit : edits)
                edit->clear();
        m_loadedTitleIndex = 0;
    }
    ui->Edit1->setFocus();
    ui->Edit1->selectAll();
    RefreshContentList();
}

void TFormNote::RefreshContentList() {
    OpenQuery(*ADOQuery1,
              QStringLiteral("Select * From Content Where ContentTitle = %1 Order By ContentIndex")
                  .arg(ParagraphOwner(EditTitleIndex)),
              DatabaseOpenFailed);
    // A non-empty list has already shown its first paragraph through the after-scroll handler.
    if (ADOQuery1->RecordCount() == 0)
        ui->Memo1->clear();
}

void TFormNote::ADOQuery1AfterScroll() {
    // The grid's count walk moves through every paragraph and ends with the open's own call on the
    // first one; laying out each paragraph on the way would cost a long text several times over.
    if (ADOQuery1->ControlsDisabled())
        return;
    if (ADOQuery1->Active() && !ADOQuery1->FieldByName("ContentIndex").IsNull())
        SetMemoText(ui->Memo1, Text(ADOQuery1->FieldByName("ContentTxt")));
}

void TFormNote::Button1Click() {
    TADOQuery& query = ShareDataModule->ADOQueryTemp;
    // The paragraph goes to the record the editor shows, or nowhere. (No transaction around check and
    // insert: inside one, the open for the insert would read the whole Content table.)
    if (EditTitleIndex != 0 && m_loadedTitleIndex == EditTitleIndex) {
        OpenQuery(query, QStringLiteral("Select * From Title Where TitleIndex = %1").arg(EditTitleIndex),
                  DatabaseOpenFailed);
        CheckRecordAsShown(query, false);
    }
    OpenQuery(query, QStringLiteral("Select * From Content"), DatabaseOpenFailed);
    query.Insert();
    query.FieldByName("ContentTitle").SetAsInteger(ParagraphOwner(EditTitleIndex));
    query.FieldByName("ContentTxt").SetAsString(MemoText(ui->Memo1).toStdString());
    query.Post();
    RefreshContentList();
}

void TFormNote::Button2Click() {
    if (!ADOQuery1->Active() || ADOQuery1->FieldByName("ContentIndex").IsNull())
        return;
    // A text the user left as the paragraph reads keeps its stored bytes (see AssignTitleFields).
    const QString text = MemoText(ui->Memo1);
    const bool changed = text != Text(ADOQuery1->FieldByName("ContentTxt"));
    ADOQuery1->Edit();
    if (changed)
        ADOQuery1->FieldByName("ContentTxt").SetAsString(text.toStdString());
    ADOQuery1->Post();
    ShowMessage(tr("记录修改成功"));
}

void TFormNote::Button3Click() {
    if (!ADOQuery1->Active() || ADOQuery1->FieldByName("ContentIndex").IsNull())
        return;
    // The confirmation leaves the dialog usable, so the paragraph list may move (or be reopened)
    // before it is answered: delete the paragraph the user asked about, not whatever is current then.
    // The paragraph as listed: one another program changed, moved to another record or removed since
    // (or a database file replaced under the same name) is not the one the user chose to delete.
    const qint64 contentIndex = ADOQuery1->FieldByName("ContentIndex").AsInteger();
    const TField& listedText = ADOQuery1->FieldByName("ContentTxt");
    const bool listedNull = listedText.IsNull();
    const std::string listedBytes = listedText.AsString();
    if (!ConfirmYesNo(tr("您确定要删除该记录吗？"), tr("删除确认")))
        return;
    TADOQuery& query = ShareDataModule->ADOQueryTemp;
    TTransaction transaction(ShareDataModule->ADOConnection1);
    OpenQuery(query, QStringLiteral("Select * From Content Where ContentIndex = %1").arg(contentIndex),
              DatabaseOpenFailed);
    if (query.RecordCount() == 0)
        throw EDatabaseError(DeleteConflict);
    query.First();
    if (query.FieldByName("ContentTitle").AsInteger() != ParagraphOwner(EditTitleIndex) ||
        !SameCell(query.FieldByName("ContentTxt"), listedNull, listedBytes))
        throw EDatabaseError(DeleteConflict);
    query.Delete();
    transaction.Commit();
    ShowMessage(tr("记录删除成功"));
    RefreshContentList();
}

void TFormNote::Button4Click() {
    if (ui->Edit1->text().isEmpty()) {
        ShowMessage(tr("记事标题不能为空"));
        ui->Edit1->setFocus();
        return;
    }
    if (m_loadedTitleIndex != EditTitleIndex) {
        ShowMessage(tr("记录未能载入，不能保存；请关闭窗口后重新打开该记录"));
        return;
    }
    TADOQuery& title = ShareDataModule->ADOQueryTemp;
    if (EditTitleIndex != 0) {
        // The row is read again only to find it: what it must still hold is what the editor showed,
        // and the post's own check then covers the moment between this read and the write.
        TTransaction transaction(ShareDataModule->ADOConnection1);
        OpenQuery(title, QStringLiteral("Select * From Title Where TitleIndex = %1").arg(EditTitleIndex),
                  DatabaseOpenFailed);
        CheckRecordAsShown(title, true);
        if (title.RecordCount() > 0) {
            title.Edit();
            AssignTitleFields(title, true);
            title.Post();
            transaction.Commit();
            ShowMessage(tr("记录修改成功"));
        }
    } else {
        OpenQuery(title, QStringLiteral("Select * From Title"), DatabaseOpenFailed);
        // The record and the re-parenting of its pending paragraphs succeed or fail together: a
        // record stored without them would lose them at the next close and be stored twice by a
        // second OK.
        TTransaction transaction(ShareDataModule->ADOConnection1);
        title.Insert();
        AssignTitleFields(title, false);
        title.Post();
        // The pending paragraphs follow the key only when it names the row just stored: a trigger
        // that drops the insert leaves an earlier insert's key (often a paragraph's) behind, and a key
        // column that is not the rowid gets the rowid, which may be another record's key.
        const TField& key = title.FieldByName("TitleIndex");
        const qint64 newTitleIndex = key.IsNull() ? 0 : key.AsInteger();
        TADOQuery& pending = ShareDataModule->ADOQueryTemp2;
        if (newTitleIndex == 0)
            throw EDatabaseError(InsertNotStored);
        OpenQuery(pending, QStringLiteral("Select * From Title Where TitleIndex = %1").arg(newTitleIndex),
                  DatabaseOpenFailed);
        if (pending.RecordCount() == 0)
            throw EDatabaseError(InsertNotStored);
        // The title only: another tool's column of a numeric type may store a typed field converted.
        pending.First();
        if (!SameCell(pending.FieldByName("TitleTxt"), title.FieldByName("TitleTxt")))
            throw EDatabaseError(InsertNotStored);

        OpenQuery(pending,
                  QStringLiteral("Select * From Content Where ContentTitle = %1").arg(ParagraphOwner(EditTitleIndex)),
                  DatabaseOpenFailed);
        if (pending.RecordCount() > 0) {
            pending.First();
            while (!pending.Eof()) {
                pending.Edit();
                pending.FieldByName("ContentTitle").SetAsInteger(newTitleIndex);
                pending.Post();
                pending.Next();
            }
        }
        transaction.Commit();
    }
    done(QDialog::Accepted);
}

void TFormNote::Button5Click() {
    ui->Memo1->clear();
}

void TFormNote::FormClose() {
    // Removes every pending paragraph of this editor, also those left by an earlier showing (in a
    // file: all of them).
    TADOQuery& query = ShareDataModule->ADOQueryTemp;
    OpenQuery(query, QStringLiteral("Select * From Content Where ContentTitle = %1").arg(ParagraphOwner(0)),
              DatabaseOpenFailed);
    if (query.RecordCount() == 0)
        return;
    for (query.First(); !query.Eof(); query.First())
        query.Delete();
}
