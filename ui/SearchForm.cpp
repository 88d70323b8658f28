#include "SearchForm.h"
#include "ui_SearchForm.h"

#include "AppShell.h"
#include "UiResources.h"
#include "WindowPlacement.h"

#include <QShowEvent>

TFormSearch* FormSearch = nullptr;

TFormSearch::TFormSearch(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TFormSearch>()) {
    LoadUiResources();

    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    connect(ui->BitBtn1, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn1Click(); }); });
    connect(ui->BitBtn2, &QPushButton::clicked, this, [this] { Guarded([this] { reject(); }); });
}

TFormSearch::~TFormSearch() = default;

void TFormSearch::showEvent(QShowEvent* event) {
    Guarded([this, event] {
        const bool firstShowing = !testAttribute(Qt::WA_Moved) && !event->spontaneous();
        QDialog::showEvent(event);
        // Centred over the main window the first time only; later showings come back where the user
        // left the dialog.
        if (firstShowing)
            CentreWindowOver(this, parentWidget());
        setAttribute(Qt::WA_Moved, true);
    });
}

void TFormSearch::BitBtn1Click() {
    setResult(QDialog::Accepted);
    SearchTitle = ui->Edit1->text();
    SearchField1 = ui->Edit2->text();
    SearchField2 = ui->Edit3->text();
    SearchField3 = ui->Edit4->text();
    SearchField4 = ui->Edit5->text();
    SearchField5 = ui->Edit6->text();
    SearchField6 = ui->Edit7->text();
    SearchField7 = ui->Edit8->text();
    SearchField8 = ui->Edit9->text();
    accept();
}
