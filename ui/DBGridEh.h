#pragma once

#include <QAbstractScrollArea>
#include <QStringList>

#include <vector>

class TADOQuery;

enum class TFooterValueType { fvtNon, fvtStaticText, fvtCount };

// One column of the grid as the window's .ui file describes it.
struct TColumnEh {
    QString FieldName;
    QString Title;
    int Width = 64;
    Qt::Alignment Alignment = Qt::AlignLeft;
    Qt::Alignment TitleAlignment = Qt::AlignLeft;
    Qt::Alignment FooterAlignment = Qt::AlignLeft;
    TFooterValueType FooterValueType = TFooterValueType::fvtNon;
    QString FooterValue;
};

// The read-only record grid: title row, indicator column, one line per record of the bound record
// set, a footer row of totals. It moves the record set by mouse, keys, wheel and scroll bar.
class TDBGridEh : public QAbstractScrollArea {
    Q_OBJECT
    // Columns as data from the .ui file, one string per column:
    // "FieldName|Title|Width|cell alignment|title alignment|footer alignment|footer kind|footer value"
    // with alignments left, center or right and footer kinds fvtNon, fvtStaticText or fvtCount.
    Q_PROPERTY(QStringList columns READ ColumnSpecs WRITE SetColumnSpecs)

public:
    explicit TDBGridEh(QWidget* parent = nullptr);
    ~TDBGridEh() override;

    // Binds the grid to its record set (once, when the window is created).
    void SetDataSet(TADOQuery* dataSet);
    TADOQuery* DataSet() const;

    void SetColumns(std::vector<TColumnEh> columns);
    const std::vector<TColumnEh>& Columns() const;
    QStringList ColumnSpecs() const;
    void SetColumnSpecs(const QStringList& specs);

signals:
    // A left double-click anywhere in the grid.
    void OnDblClick(TDBGridEh* sender);
};
