#include "MainForm.h"
#include "ui_MainForm.h"

#include "ADOQuery.h"
#include "AppShell.h"

#include <QCoreApplication>

TFormMain* FormMain = nullptr;

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent), ADOQuery1(std::make_unique<TADOQuery>("ADOQuery1", nullptr)), ui(std::make_unique<Ui::TFormMain>()) {
    ui->setupUi(this);
    FormCreate();
}

TFormMain::~TFormMain() = default;

void TFormMain::FormCreate() {
    AppDir = QCoreApplication::applicationDirPath() + "/";
    SettingsFile = AppDir + "TamrixData.ini";
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Guarded([this] { FormShow(); });
}

void TFormMain::FormShow() { RefreshTitleList(); }

void TFormMain::RefreshTitleList() {}

void TFormMain::ShowTitleContent() {}
