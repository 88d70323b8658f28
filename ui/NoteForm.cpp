#include "NoteForm.h"
#include "ui_NoteForm.h"

#include "ADOQuery.h"
#include "ShareDM.h"

TFormNote* FormNote = nullptr;

TFormNote::TFormNote(QWidget* parent)
    : QDialog(parent),
      ADOQuery1(std::make_unique<TADOQuery>("ADOQuery1", ShareDataModule ? &ShareDataModule->ADOConnection1 : nullptr)),
      ui(std::make_unique<Ui::TFormNote>()) {
    ui->setupUi(this);
}

TFormNote::~TFormNote() = default;

void TFormNote::RefreshContentList() {}
