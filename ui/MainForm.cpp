#include "MainForm.h"
#include "ui_MainForm.h"

#include "ADOConnection.h"
#include "ADOQuery.h"
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "MemoText.h"
#include "NoteForm.h"
#include "PublicFunction.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "UiResources.h"

#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScopeGuard>
#include <QScreen>

#include <array>
#include <string>
#include <utility>

TFormMain* FormMain = nullptr;

namespace {

// The window's outer size: its 763 x 499 client area in a typical frame (4-pixel borders and a
// 23-pixel caption).
constexpr int OuterWidth = 771;
constexpr int OuterHeight = 526;

// Characters of pane text from which the content query's rows are let go once read.
constexpr qsizetype LargePaneText = qsizetype(1) << 20;

// A criterion goes into the list statement between single quotes; doubling the quotes inside it keeps
// a search for O'Brien a plain text comparison instead of breaking or widening the statement.
QString QuotedCriterion(QString criterion) {
    return criterion.replace(QLatin1Char('\''), QLatin1String("''"));
}

// The window is a plain widget, which assistive technology would take for a filler pane; as the
// application's top-level window it is a frame (AT-SPI's role for such windows, what screen readers
// announce and list as the program's windows).
QAccessibleInterface* MainWindowAccessible(const QString& key, QObject* object) {
    if (key == QLatin1String("TFormMain")) {
        if (auto* window = qobject_cast<QWidget*>(object))
            return new QAccessibleWidget(window, QAccessible::Window);
    }
    return nullptr;
}

std::string TitleIndexSql(const char* statement, qint64 titleIndex) {
    return statement + std::to_string(titleIndex);
}

} // namespace

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent), ADOQuery1(std::make_unique<TADOQuery>("ADOQuery1", nullptr)),
      ui(std::make_unique<Ui::TFormMain>()) {
    LoadUiResources();
    static const bool accessible = [] {
        QAccessible::installFactory(&MainWindowAccessible);
        return true;
    }();
    Q_UNUSED(accessible);

    ui->setupUi(this);
    ui->SpeedButton5->setDefaultAction(ui->ActionFind);
    ui->SpeedButton1->setDefaultAction(ui->ActionNew);
    ui->SpeedButton2->setDefaultAction(ui->ActionDelete);
    ui->DBGridEh1->SetDataSet(ADOQuery1.get());
    ADOQuery1->AfterScroll = [this](TADOQuery&) { ShowTitleContent(); };
    FitMemoForLongLines(ui->Memo1);

    connect(ui->ActionNew, &QAction::triggered, this, [this] { Guarded([this] { ActionNewExecute(); }); });
    connect(ui->ActionDelete, &QAction::triggered, this, [this] { Guarded([this] { ActionDeleteExecute(); }); });
    connect(ui->ActionFind, &QAction::triggered, this, [this] { Guarded([this] { ActionFindExecute(); }); });
    connect(ui->DBGridEh1, &TDBGridEh::OnDblClick, this,
            [this](TDBGridEh*) { Guarded([this] { DBGridEh1DblClick(); }); });
    // Enter in the list opens the current record, as a double-click does, for those without a mouse;
    // the .ui file holds one key per action, and the keypad's Enter is a second.
    ui->ActionEdit->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    connect(ui->ActionEdit, &QAction::triggered, this, [this] { Guarded([this] { DBGridEh1DblClick(); }); });

    FormCreate();
}

TFormMain::~TFormMain() {
    // The list query dies with this object, before the grid (a child widget) goes.
    ui->DBGridEh1->SetDataSet(nullptr);
}

void TFormMain::FormCreate() {
    AppDir = ExecutableDirectory(QCoreApplication::applicationFilePath());
    SettingsFile = AppDir + "TamrixData.ini";
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->virtualGeometry();
        move(desktop.x() + (desktop.width() - OuterWidth) / 2, desktop.y() + (desktop.height() - OuterHeight) / 2);
    }
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Guarded([this] { FormShow(); });
}

void TFormMain::FormShow() {
    RefreshTitleList();
}

void TFormMain::RefreshTitleList() {
    QString filter;
    if (FormSearch) {
        if (!FormSearch->SearchTitle.isEmpty())
            filter += " And (InStr(TitleTxt,'" + QuotedCriterion(FormSearch->SearchTitle) + "'))";
        const std::array<const QString*, 8> fields = {
            &FormSearch->SearchField1, &FormSearch->SearchField2, &FormSearch->SearchField3, &FormSearch->SearchField4,
            &FormSearch->SearchField5, &FormSearch->SearchField6, &FormSearch->SearchField7, &FormSearch->SearchField8};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (!fields[i]->isEmpty())
                filter += QString(" And (Title%1 = '").arg(i + 1) + QuotedCriterion(*fields[i]) + "')";
        }
    }
    OpenQuery(*ADOQuery1, "Select * From Title Where (TitleIndex > 0)" + filter, DatabaseOpenFailed);
    // A count walk cut short by an error never reaches the open's own AfterScroll; show what it built.
    if (m_panePending)
        ShowPaneText();
    if (ADOQuery1->RecordCount() == 0) {
        m_paneText.clear();
        ShowPaneText();
    }
}

[[gnu::hot]] void TFormMain::ShowTitleContent() {
    m_paneText.clear();
    // The pane gets the text when this handler ends, also when it ends by an error.
    const auto showPane = qScopeGuard([this] { ShowPaneText(); });
    if (!ADOQuery1->Active())
        return;
    const TField& titleIndex = ADOQuery1->FieldByName("TitleIndex");
    if (titleIndex.IsNull())
        return;
    TADOQuery& content = ShareDataModule->ADOQueryTemp;
    m_contentSql.assign("Select * From Content Where ContentTitle = ");
    m_contentSql += std::to_string(titleIndex.AsInteger());
    m_contentSql += " Order By ContentIndex";
    OpenQuery(content, m_contentSql, DatabaseOpenFailed);
    // Inside the grid's count walk the next row's rebuild throws this text away at once: the
    // statement still runs for every row (and a query that failed to open raises here), but only a
    // row the user sees has its paragraphs read past the first.
    if (content.IsEmpty() || ADOQuery1->ControlsDisabled())
        return;
    content.First();
    while (!content.Eof()) {
        m_paneText += QString::fromStdString(content.FieldByName("ContentTxt").AsString());
        m_paneText += QLatin1String("\r\n\r\n");
        content.Next();
    }
    // A record of hundreds of megabytes would otherwise be held three times while the pane takes it:
    // the scratch query's rows, this text and the box's document. The rows are not needed again.
    if (m_paneText.size() >= LargePaneText)
        content.Close();
}

// Every open runs this handler once per row of the grid's count walk; laying out the pane each time
// would make a large list crawl, so only the text built last reaches the widget, once the walk is over.
[[gnu::hot]] void TFormMain::ShowPaneText() {
    if (ADOQuery1->ControlsDisabled()) {
        m_panePending = true;
        return;
    }
    m_panePending = false;
    // Handed over: the box's document is the one copy of a long text that stays.
    SetMemoText(ui->Memo1, std::exchange(m_paneText, QString()));
}

void TFormMain::ActionNewExecute() {
    FormNote->EditTitleIndex = 0;
    if (FormNote->exec() == QDialog::Accepted)
        RefreshTitleList();
}

void TFormMain::DBGridEh1DblClick() {
    if (!ADOQuery1->Active() || ADOQuery1->FieldByName("TitleIndex").IsNull())
        return;
    const qint64 titleIndex = ADOQuery1->FieldByName("TitleIndex").AsInteger();
    FormNote->EditTitleIndex = titleIndex;
    if (FormNote->exec() == QDialog::Accepted) {
        RefreshTitleList();
        ADOQuery1->Locate("TitleIndex", titleIndex, loCaseInsensitive);
    }
}

void TFormMain::ActionDeleteExecute() {
    if (!ADOQuery1->Active() || ADOQuery1->FieldByName("TitleIndex").IsNull()) {
        ShowMessage(tr("请先选中要修改的记录"));
        return;
    }
    // The confirmation leaves the list usable while it waits: the record to delete is the one that
    // was current when the user asked, not whatever is current when the answer comes.
    const qint64 titleIndex = ADOQuery1->FieldByName("TitleIndex").AsInteger();
    // And it is the record as listed, key and title: one that another program renamed or removed
    // since (or a database file replaced under the same name) is not what the user agreed to delete.
    const TField* listedTitle = ADOQuery1->FindField("TitleTxt");
    const bool listedNull = !listedTitle || listedTitle->IsNull();
    const std::string listedText = listedTitle ? listedTitle->AsString() : std::string();
    if (!ConfirmYesNo(tr("您确定要删除该记录吗？"), tr("删除确认")))
        return;

    TADOQuery& title = ShareDataModule->ADOQueryTemp;
    TADOQuery& paragraphs = ShareDataModule->ADOQueryTemp2;
    // Paragraphs and record go together or not at all: a failure on the way rolls everything back.
    TTransaction transaction(ShareDataModule->ADOConnection1);
    OpenQuery(title, QString::fromStdString(TitleIndexSql("Select * From Title Where TitleIndex = ", titleIndex)),
              DatabaseOpenFailed);
    if (title.RecordCount() == 0)
        throw EDatabaseError("Row cannot be located for deletion");
    title.First();
    if (const TField* stored = title.FindField("TitleTxt");
        stored && (stored->IsNull() != listedNull || stored->AsString() != listedText))
        throw EDatabaseError("Row cannot be located for deletion");
    OpenQuery(paragraphs,
              QString::fromStdString(TitleIndexSql("Select * From Content Where ContentTitle = ", titleIndex)),
              DatabaseOpenFailed);
    while (paragraphs.RecordCount() > 0) {
        paragraphs.First();
        paragraphs.Delete();
    }
    title.First();
    title.Delete();
    transaction.Commit();

    ShowMessage(tr("记录删除成功"));
    RefreshTitleList();
}

void TFormMain::ActionFindExecute() {
    if (FormSearch->exec() == QDialog::Accepted)
        RefreshTitleList();
}
