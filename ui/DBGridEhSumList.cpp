#include "DBGridEhSumList.h"

namespace {

// Releases the record set's held-back notices however the walk ends. EnableControls tells the grid
// to redraw; nothing it raises may escape a destructor that may run during unwinding.
class TControlsDisabled {
public:
    explicit TControlsDisabled(TADOQuery& dataSet) : m_dataSet(dataSet) { m_dataSet.DisableControls(); }
    ~TControlsDisabled() {
        try {
            m_dataSet.EnableControls();
        } catch (...) {
        }
    }
    TControlsDisabled(const TControlsDisabled&) = delete;
    TControlsDisabled& operator=(const TControlsDisabled&) = delete;

private:
    TADOQuery& m_dataSet;
};

} // namespace

TDBGridEhSumList::TDBGridEhSumList(std::function<void()> footerChanged) : m_footerChanged(std::move(footerChanged)) {}

TDBGridEhSumList::~TDBGridEhSumList() = default;

void TDBGridEhSumList::SetDataSet(TADOQuery* dataSet) {
    if (dataSet == m_dataSet)
        return;
    if (m_dataSet)
        m_dataSet->RemoveObserver(this);
    m_dataSet = dataSet;
    m_count = 0;
    m_rowCounted = true;
    if (m_dataSet) {
        m_dataSet->AddObserver(this);
        CountWalk();
    }
    Changed();
}

[[gnu::hot]] void TDBGridEhSumList::CountWalk() {
    if (!m_dataSet || !m_dataSet->Active())
        return;
    m_count = 0;
    try {
        TControlsDisabled held(*m_dataSet);
        m_dataSet->First();
        while (!m_dataSet->Eof()) {
            ++m_count;
            m_dataSet->Next();
        }
        m_dataSet->First();
    } catch (...) {
        Changed();
        throw;
    }
    Changed();
}

void TDBGridEhSumList::AfterOpen(TADOQuery&) {
    CountWalk();
}

void TDBGridEhSumList::AfterClose(TADOQuery&) {
    m_count = 0;
    m_rowCounted = true;
    Changed();
}

void TDBGridEhSumList::AfterEdit(TADOQuery&) {
    m_rowCounted = true;
}

void TDBGridEhSumList::AfterInsert(TADOQuery&) {
    m_rowCounted = false;
}

void TDBGridEhSumList::AfterPost(TADOQuery&) {
    if (!m_rowCounted)
        ++m_count;
    m_rowCounted = true;
    Changed();
}

void TDBGridEhSumList::BeforeDelete(TADOQuery&) {
    --m_count;
    Changed();
}

void TDBGridEhSumList::Changed() {
    if (m_footerChanged)
        m_footerChanged();
}
