#include "SearchForm.h"
#include "ui_SearchForm.h"

TFormSearch* FormSearch = nullptr;

TFormSearch::TFormSearch(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TFormSearch>()) {
    ui->setupUi(this);
}

TFormSearch::~TFormSearch() = default;
