#pragma once

#include "ADOQuery.h"

#include <functional>

// The grid's footer totals: one record count shared by every count column. It listens to the record
// set's open, close and change events beside the window's own handlers; after every open it walks
// the whole result once to count it.
class TDBGridEhSumList : public TDataSetObserver {
public:
    // footerChanged is called whenever the footer must be repainted.
    explicit TDBGridEhSumList(std::function<void()> footerChanged);
    ~TDBGridEhSumList() override;
    TDBGridEhSumList(const TDBGridEhSumList&) = delete;
    TDBGridEhSumList& operator=(const TDBGridEhSumList&) = delete;

    // Listens to dataSet from now on (nullptr: to none); counts at once when it is already open.
    // Raises what the count walk raises.
    void SetDataSet(TADOQuery* dataSet);
    int Count() const { return m_count; }

    // Counts the rows: first, then next until the end flag, then first again, with the change
    // notices held back. Every move fires the record set's AfterScroll. An error ends the walk with
    // the rows counted so far, the notices released, and is raised again.
    void CountWalk();

    void DataSetNotice(TADOQuery&, TDataNotice) override {}
    void AfterOpen(TADOQuery&) override;
    void AfterClose(TADOQuery&) override;
    void AfterEdit(TADOQuery&) override;
    void AfterInsert(TADOQuery&) override;
    void AfterPost(TADOQuery&) override;
    void BeforeDelete(TADOQuery&) override;

private:
    void Changed();

    TADOQuery* m_dataSet = nullptr;
    std::function<void()> m_footerChanged;
    int m_count = 0;
    bool m_rowCounted = true; // the row being edited or inserted is already in m_count
};
