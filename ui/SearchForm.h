#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class TFormSearch;
}

// The search dialog: collects a title substring and up to eight exact classification values.
class TFormSearch : public QDialog {
    Q_OBJECT

public:
    explicit TFormSearch(QWidget* parent = nullptr);
    ~TFormSearch() override;

    // The criteria in force; changed only by OK.
    QString SearchTitle;
    QString SearchField1, SearchField2, SearchField3, SearchField4;
    QString SearchField5, SearchField6, SearchField7, SearchField8;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BitBtn1Click();

    std::unique_ptr<Ui::TFormSearch> ui;
};

extern TFormSearch* FormSearch;
