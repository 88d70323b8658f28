// TADOQuery: a record set over one SQL statement, its result held in the program. The small class
// that holds its parts together: the statement text (StatementText.cpp), the fetch policy and the
// row store (ResultReader.cpp, RowStore.cpp, CellCodec.h), the result layout (ResultLayout.cpp) and
// the change writer (ChangeWriter.cpp); here are the current row, the moves, the edit buffer and the
// events.
//
// Order of calls: set the statement (ClearSQL/AddSQL, which close the record set), Open, then any
// of the moves (First, Next, MoveBy, Last, SetRecNo, Locate), field reads, and the changes (Edit or
// Insert, field assignments, Post; Delete). Close discards the result. Every call on a closed
// record set but Close, Open and the statement raises the closed-dataset error (fields: not found).
//
// Rows are fetched as they are first needed (see ResultReader.cpp); when a result is run again, the
// current row is found again here by its key (a row being edited stays, found or not; a row being
// inserted keeps its place), and the window keeps its distance from it.
//
// Costs: a reopen of the statement text it had last (integer literals lifted into bindings)
// allocates nothing: the text is translated into kept buffers, the prepared statement found by
// hash, the fields of the last open reused. Moves, RecNo and RecordCount are constant time once
// rows are fetched; Locate scans the rows' key cells; Delete and a posted Insert move the row
// pointers behind the row. Post and Delete each run one statement. The functions a count walk runs
// at every step (here, in the parts, the fields, the connection and the main window's handler) are
// marked hot, which places them together: between two steps the engine's page reads push them out
// of the caches, and a step then reloads a few pages of code instead of one for each function.
//
// Events: observers (the grid) get notices, held back between DisableControls and EnableControls,
// and the After/Before events; the window's AfterScroll handler runs after every move, inside the
// operation, after the observers were told.
#include "ADOQuery.h"

#include "ADOConnection.h"
#include "CellCodec.h"
#include "ChangeWriter.h"
#include "DatabaseErrors.h"
#include "FieldValue.h"
#include "ResultLayout.h"
#include "ResultReader.h"
#include "StatementText.h"
#include "TextCase.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <utility>

struct TADOQuery::Impl final : TResultOwner {
    explicit Impl(TADOQuery& query) : owner(query), reader(*this) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    TADOQuery& owner;
    TStatementText text;
    TResultLayout layout;
    TResultReader reader;
    int current = -1;                // view index of the current row, -1 when none
    int top = 0;                     // view index on the window's first line
    int insertPos = -1;              // view index of the row being inserted
    std::vector<TFieldValue> buffer; // the row being edited or inserted
    const char* editRow = nullptr;   // the edited row as it was read

    // What a close leaves: no rows; buffers, the layout and (inside the read transaction) the
    // statement are kept for the next open.
    void Reset() noexcept {
        reader.Reset();
        current = -1;
        top = 0;
        insertPos = -1;
        buffer.clear();
        editRow = nullptr;
    }

    const char* StoredCurrentCell(int fieldIndex);

    void DescribeResult(const TStatementLease& statement, bool hasRow) override {
        layout.Describe(owner, *owner.m_connection, statement, hasRow, owner.m_fields);
    }
    [[noreturn]] void RaiseNamed(const std::string& message) const override { owner.RaiseNamed(message); }

    void ResultRerun(const std::vector<const char*>& opened) override {
        const bool inserting = owner.m_state == TDataSetState::dsInsert;
        const bool editing = owner.m_state == TDataSetState::dsEdit;
        const char* keyRow = editing ? editRow
                             : !inserting && current >= 0 && current < static_cast<int>(opened.size())
                                 ? opened[static_cast<std::size_t>(current)]
                                 : nullptr;
        const int keyField = layout.KeyField();
        std::optional<TFieldValue> key;
        if (keyRow && keyField >= 0)
            key = ReadCell(CellIn(keyRow, keyField));
        const int line = current - top;
        auto& rows = reader.Rows();
        const int count = static_cast<int>(rows.size());
        if (inserting) {
            insertPos = std::min(insertPos, count);
            current = insertPos;
        } else {
            int found = -1;
            for (int row = 0; key && !key->IsNull() && row < count && found < 0; ++row) {
                const TFieldValue cell = ReadCell(CellIn(rows[static_cast<std::size_t>(row)], keyField));
                if (cell.type == key->type && cell.integer == key->integer && cell.text == key->text)
                    found = row;
            }
            if (found >= 0) {
                current = found;
            } else if (editing) {
                current = std::clamp(current, 0, count);
                rows.insert(rows.begin() + current, editRow);
            } else {
                current = count == 0 ? -1 : std::clamp(current, 0, count - 1);
            }
        }
        top = std::max(0, current - std::max(0, line));
    }
};

TADOQuery::TADOQuery(std::string name, TADOConnection* connection)
    : m_name(std::move(name)), m_connection(connection), m_impl(std::make_unique<Impl>(*this)) {
    m_impl->reader.SetConnection(connection);
}

TADOQuery::~TADOQuery() = default;

void TADOQuery::SetConnection(TADOConnection* connection) {
    Close();
    m_impl->reader.SetConnection(connection);
    m_connection = connection;
}

void TADOQuery::RaiseNamed(const std::string& message) const {
    throw EDatabaseError(m_name + ": " + message);
}

[[gnu::hot]] void TADOQuery::CheckActive() const {
    if (!Active())
        RaiseNamed("Cannot perform this operation on a closed dataset");
}

[[gnu::hot]] void TADOQuery::ClearSQL() {
    Close();
    for (auto& line : m_sql)
        m_spareLines.push_back(std::move(line));
    m_sql.clear();
    if (m_connection) {
        try {
            m_connection->Open();
        } catch (const Exception&) {
            // The open that follows connects again and reports the error.
        }
    }
}

[[gnu::hot]] void TADOQuery::AddSQL(const std::string& line) {
    Close();
    if (m_spareLines.empty()) {
        m_sql.push_back(line);
    } else {
        m_sql.push_back(std::move(m_spareLines.back()));
        m_spareLines.pop_back();
        m_sql.back().assign(line);
    }
    if (m_connection) {
        try {
            m_connection->Open();
        } catch (const Exception&) {
        }
    }
}

std::string TADOQuery::SQLText() const {
    std::string text;
    JoinLines(m_sql, text);
    return text;
}

// ---- events -------------------------------------------------------------------------------------

// Calls every observer registered when the call began (one may go away or come during a call).
template <typename Call> void TADOQuery::ForEachObserver(Call call) {
    constexpr std::size_t kInline = 8;
    if (m_observers.empty())
        return;
    if (m_observers.size() <= kInline) {
        std::array<TDataSetObserver*, kInline> observers{};
        const std::size_t count = m_observers.size();
        std::copy(m_observers.begin(), m_observers.end(), observers.begin());
        for (std::size_t i = 0; i < count; ++i)
            call(observers[i]);
        return;
    }
    const auto observers = m_observers;
    for (auto* observer : observers)
        call(observer);
}

[[gnu::hot]] void TADOQuery::Notify(TDataNotice notice) {
    if (m_disableCount > 0)
        return;
    ForEachObserver([&](TDataSetObserver* observer) { observer->DataSetNotice(*this, notice); });
}

template <typename Event> void TADOQuery::SendEvent(Event event) {
    ForEachObserver([&](TDataSetObserver* observer) { (observer->*event)(*this); });
}

[[gnu::hot]] void TADOQuery::FireScroll() {
    if (AfterScroll)
        AfterScroll(*this);
}

void TADOQuery::AddObserver(TDataSetObserver* observer) {
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void TADOQuery::RemoveObserver(TDataSetObserver* observer) {
    std::erase(m_observers, observer);
}

void TADOQuery::DisableControls() {
    ++m_disableCount;
}

void TADOQuery::EnableControls() {
    if (m_disableCount == 0)
        return;
    if (--m_disableCount == 0)
        Notify(TDataNotice::DataSetChanged);
}

// ---- open and close -----------------------------------------------------------------------------

[[gnu::hot]] void TADOQuery::Open() {
    if (Active())
        return;
    if (!m_connection)
        RaiseNamed("Missing Connection or ConnectionString");
    // The open, its observers and its handler (with the opens they make) read in one transaction.
    m_connection->BeginRead();
    try {
        RunStatement();
        if (m_connection->OutermostRead())
            m_impl->reader.ReadAhead();
        m_modifiedFields.clear();
        const bool empty = !m_impl->reader.HasRow(0);
        m_impl->current = empty ? -1 : 0;
        m_impl->top = 0;
        m_bof = true;
        m_eof = empty;
        m_state = TDataSetState::dsBrowse;
        Notify(TDataNotice::LayoutChanged);
        SendEvent(&TDataSetObserver::AfterOpen);
        if (!empty)
            FireScroll();
    } catch (...) {
        if (!Active()) {
            m_impl->Reset();
            m_impl->layout.KeepFields(m_fields);
        }
        m_connection->EndRead(true);
        throw;
    }
    m_connection->EndRead();
}

// The statement's text translated (or kept, when only its lifted integers changed), run by the
// reader to its first row, and its fields made (see ResultReader.cpp).
[[gnu::hot]] void TADOQuery::RunStatement() {
    Impl& d = *m_impl;
    const bool newText = d.text.Take(m_sql, m_connection->Dialect().markers);
    d.reader.Run(d.text, newText);
}

[[gnu::hot]] void TADOQuery::Close() {
    if (!Active())
        return;
    m_state = TDataSetState::dsInactive;
    m_impl->Reset();
    m_impl->layout.KeepFields(m_fields);
    m_modifiedFields.clear();
    m_bof = true;
    m_eof = true;
    Notify(TDataNotice::LayoutChanged);
    SendEvent(&TDataSetObserver::AfterClose);
}

// ---- moves --------------------------------------------------------------------------------------

int TADOQuery::RecordCount() const {
    CheckActive();
    m_impl->reader.FetchAll();
    return static_cast<int>(m_impl->reader.Rows().size());
}

[[gnu::hot]] bool TADOQuery::IsEmpty() const {
    CheckActive();
    return !m_impl->reader.HasRow(0);
}

[[gnu::hot]] int TADOQuery::ViewCountUpTo(int wanted) const {
    const int inserting = m_state == TDataSetState::dsInsert ? 1 : 0;
    m_impl->reader.HasRow(wanted - inserting - 1);
    return m_impl->reader.Known() + inserting;
}

[[gnu::hot]] void TADOQuery::PlaceWindow() {
    Impl& d = *m_impl;
    const int lines = std::max(1, m_bufferCount);
    const int count = ViewCountUpTo(d.current + lines);
    if (count == 0 || d.current < 0) {
        d.top = 0;
        return;
    }
    d.top = std::min(d.top, d.current);
    d.top = std::max(d.top, d.current - lines + 1);
    d.top = std::max(0, std::min(d.top, count - lines));
}

void TADOQuery::PlaceWindowAround(int row) {
    const int lines = std::max(1, m_bufferCount);
    m_impl->current = row;
    m_impl->top = row - std::min((lines - 1) / 2, row);
    PlaceWindow();
}

[[gnu::hot]] void TADOQuery::CheckBrowseMove() {
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert) {
        if (Modified())
            Post();
        else
            Cancel();
    }
}

void TADOQuery::First() {
    CheckActive();
    CheckBrowseMove();
    const bool empty = !m_impl->reader.HasRow(0);
    m_impl->current = empty ? -1 : 0;
    m_impl->top = 0;
    m_bof = true;
    m_eof = empty;
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

[[gnu::hot]] void TADOQuery::Next() {
    CheckActive();
    CheckBrowseMove();
    if (m_eof)
        return;
    m_bof = false;
    if (m_impl->reader.HasRowFrom(m_impl->current, 1)) {
        ++m_impl->current;
        // A walk reads the next row soon, after the handler's own work has pushed it out of the cache.
        if (const auto next = static_cast<std::size_t>(m_impl->current) + 1; next < m_impl->reader.Rows().size())
            __builtin_prefetch(m_impl->reader.Rows()[next]);
        PlaceWindow();
    } else {
        m_eof = true;
    }
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

int TADOQuery::MoveBy(int distance) {
    CheckActive();
    CheckBrowseMove();
    if (distance == 0 || (distance > 0 && m_eof) || (distance < 0 && m_bof))
        return 0;
    Impl& d = *m_impl;
    int moved = 0;
    m_bof = false;
    m_eof = false;
    if (distance > 0) {
        if (!d.reader.HasRowFrom(d.current, distance))
            m_eof = true;
        moved = std::min(distance, d.reader.Known() - 1 - d.current);
    } else {
        const int available = d.current;
        moved = -std::min(-distance, available);
        if (-distance > available)
            m_bof = true;
    }
    d.current += moved;
    PlaceWindow();
    Notify(TDataNotice::Scrolled);
    FireScroll();
    return moved;
}

void TADOQuery::Last() {
    CheckActive();
    CheckBrowseMove();
    m_impl->reader.FetchAll();
    const int count = static_cast<int>(m_impl->reader.Rows().size());
    m_impl->current = count - 1;
    m_impl->top = std::max(0, count - std::max(1, m_bufferCount));
    m_eof = true;
    m_bof = count == 0;
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

int TADOQuery::RecNo() const {
    if (!Active() || m_state == TDataSetState::dsInsert || m_impl->current < 0)
        return -1;
    return m_impl->current + 1;
}

void TADOQuery::SetRecNo(int recNo) {
    CheckActive();
    CheckBrowseMove();
    m_impl->reader.HasRow(std::max(recNo, 1) - 1);
    const int count = m_impl->reader.Known();
    if (count == 0)
        return;
    const int row = std::clamp(recNo, 1, count) - 1;
    if (row == m_impl->current)
        return;
    PlaceWindowAround(row);
    m_bof = false;
    m_eof = false;
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
}

bool TADOQuery::Locate(std::string_view fieldName, std::int64_t value,
                       int /*options: case makes no difference for a number*/) {
    CheckActive();
    CheckBrowseMove();
    const TField* field = FindField(fieldName);
    if (!field)
        return false;
    Impl& d = *m_impl;
    // An integer's digits and sign.
    std::array<char, std::numeric_limits<std::int64_t>::digits10 + 2> digits{};
    const auto text = std::string_view(digits.data(), std::to_chars(digits.begin(), digits.end(), value).ptr);
    int found = -1;
    for (int row = 0; found < 0; ++row) {
        if (row >= d.reader.Known()) {
            // A stale result is read again whole, and searched again from its start.
            if (d.reader.Stale()) {
                d.reader.FetchAll();
                row = -1;
                continue;
            }
            if (!d.reader.HasRow(row))
                break;
        }
        const TFieldValue cell = d.reader.Cell(row, field->Index());
        if ((cell.type == TFieldValue::Int && cell.integer == value) ||
            (cell.type == TFieldValue::Real && ExactInteger(cell.real) == value) ||
            (cell.type == TFieldValue::Text && cell.text == text))
            found = row;
    }
    if (found < 0)
        return false;
    PlaceWindowAround(found);
    m_bof = false;
    m_eof = false;
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
    return true;
}

// ---- fields -------------------------------------------------------------------------------------

[[gnu::hot]] TField* TADOQuery::FindField(std::string_view name) const {
    for (const auto& field : m_fields)
        if (field->FieldName() == name || EqualsIgnoreCase(field->FieldName(), name))
            return field.get();
    return nullptr;
}

[[gnu::hot]] TField& TADOQuery::FieldByName(std::string_view name) const {
    TField* field = FindField(name);
    if (!field)
        RaiseNamed("Field '" + std::string(name) + "' not found");
    return *field;
}

TFieldValue TADOQuery::ValueAt(int viewIndex, int fieldIndex) const {
    Impl& d = *m_impl;
    if (fieldIndex < 0 || fieldIndex >= FieldCount())
        return {};
    if (m_state == TDataSetState::dsInsert) {
        if (viewIndex == d.insertPos)
            return d.buffer.at(static_cast<std::size_t>(fieldIndex));
        if (viewIndex > d.insertPos)
            --viewIndex;
    } else if (m_state == TDataSetState::dsEdit && viewIndex == d.current) {
        return d.buffer.at(static_cast<std::size_t>(fieldIndex));
    }
    return d.reader.Cell(viewIndex, fieldIndex);
}

TFieldValue TADOQuery::CurrentValue(int fieldIndex) const {
    if (!Active() || m_impl->current < 0)
        return {};
    return ValueAt(m_impl->current, fieldIndex);
}

// The current row's cell as stored (in browse state: edits and inserts live in the buffer).
[[gnu::hot]] const char* TADOQuery::Impl::StoredCurrentCell(int fieldIndex) {
    if (owner.m_state != TDataSetState::dsBrowse || fieldIndex < 0 || fieldIndex >= owner.FieldCount() ||
        !reader.Fetch(current))
        return nullptr;
    return CellIn(reader.Rows()[static_cast<std::size_t>(current)], fieldIndex);
}

[[gnu::hot]] bool TADOQuery::CurrentIsNull(int fieldIndex) const {
    if (const char* cell = m_impl->StoredCurrentCell(fieldIndex))
        return CellType(cell) == TFieldValue::Null;
    return CurrentValue(fieldIndex).IsNull();
}

[[gnu::hot]] bool TADOQuery::CurrentInteger(int fieldIndex, std::int64_t& value) const {
    const char* cell = m_impl->StoredCurrentCell(fieldIndex);
    if (!cell || CellType(cell) != TFieldValue::Int)
        return false;
    value = ReadIntegerCell(cell);
    return true;
}

void TADOQuery::CheckCanAssign(const TField& field) const {
    if (m_state != TDataSetState::dsEdit && m_state != TDataSetState::dsInsert)
        RaiseNamed("Dataset not in edit or insert mode");
    if (field.ReadOnly())
        throw EDatabaseError("Field '" + field.FieldName() + "' cannot be modified");
}

void TADOQuery::AssignValue(int fieldIndex, TFieldValue value) {
    m_impl->buffer.at(static_cast<std::size_t>(fieldIndex)) = std::move(value);
    if (std::find(m_modifiedFields.begin(), m_modifiedFields.end(), fieldIndex) == m_modifiedFields.end())
        m_modifiedFields.push_back(fieldIndex);
    Notify(TDataNotice::FieldChanged);
}

// ---- the grid's window of rows ------------------------------------------------------------------

void TADOQuery::SetBufferCount(int lines) {
    m_bufferCount = std::max(1, lines);
    if (Active())
        PlaceWindow();
}

int TADOQuery::WindowRowCount() const {
    if (!Active() || m_impl->current < 0)
        return 0;
    const int lines = std::max(1, m_bufferCount);
    return std::min(lines, ViewCountUpTo(m_impl->top + lines) - m_impl->top);
}

int TADOQuery::ActiveLine() const {
    if (!Active() || m_impl->current < 0)
        return -1;
    return m_impl->current - m_impl->top;
}

bool TADOQuery::IsNullAt(int line, int fieldIndex) const {
    if (line < 0 || line >= WindowRowCount())
        return true;
    return ValueAt(m_impl->top + line, fieldIndex).IsNull();
}

std::string TADOQuery::TextAt(int line, int fieldIndex) const {
    if (line < 0 || line >= WindowRowCount())
        return {};
    return ValueText(ValueAt(m_impl->top + line, fieldIndex));
}

bool TADOQuery::IsMemoField(int fieldIndex) const {
    return fieldIndex >= 0 && fieldIndex < FieldCount() && Fields(fieldIndex).Kind() == TFieldKind::Memo;
}

std::string TADOQuery::DisplayTextAt(int line, int fieldIndex) const {
    if (IsMemoField(fieldIndex))
        return IsNullAt(line, fieldIndex) ? "(Memo)" : "(MEMO)";
    return TextAt(line, fieldIndex);
}

int TADOQuery::ViewRowCount() const {
    if (!Active())
        return 0;
    return RecordCount() + (m_state == TDataSetState::dsInsert ? 1 : 0);
}

int TADOQuery::WindowTop() const {
    return Active() && m_impl->current >= 0 ? m_impl->top : -1;
}

bool TADOQuery::RowInView(int row) const {
    return Active() && row >= 0 && row < ViewCountUpTo(row + 1);
}

std::string TADOQuery::TextAtRow(int row, int fieldIndex) const {
    if (!RowInView(row))
        return {};
    return ValueText(ValueAt(row, fieldIndex));
}

std::string TADOQuery::DisplayTextAtRow(int row, int fieldIndex) const {
    if (IsMemoField(fieldIndex))
        return !RowInView(row) || ValueAt(row, fieldIndex).IsNull() ? "(Memo)" : "(MEMO)";
    return TextAtRow(row, fieldIndex);
}

// ---- changes ------------------------------------------------------------------------------------

void TADOQuery::CheckUpdatable() const {
    if (m_impl->layout.Table().empty())
        RaiseNamed("Cannot modify a read-only dataset");
}

void TADOQuery::Edit() {
    CheckActive();
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert)
        return;
    if (!m_impl->reader.HasRow(0)) {
        Insert();
        return;
    }
    CheckUpdatable();
    Impl& d = *m_impl;
    d.reader.Fetch(d.current);
    d.editRow = d.reader.Rows().at(static_cast<std::size_t>(d.current));
    d.buffer.clear();
    for (int f = 0; f < FieldCount(); ++f)
        d.buffer.push_back(ReadCell(CellIn(d.editRow, f)));
    m_modifiedFields.clear();
    m_state = TDataSetState::dsEdit;
    Notify(TDataNotice::StateChanged);
    SendEvent(&TDataSetObserver::AfterEdit);
}

void TADOQuery::Insert() {
    CheckActive();
    CheckBrowseMove();
    CheckUpdatable();
    Impl& d = *m_impl;
    d.buffer.assign(static_cast<std::size_t>(FieldCount()), TFieldValue());
    m_modifiedFields.clear();
    d.insertPos = std::max(0, d.current);
    d.current = d.insertPos;
    m_state = TDataSetState::dsInsert;
    m_bof = false;
    m_eof = false;
    PlaceWindow();
    Notify(TDataNotice::DataSetChanged);
    SendEvent(&TDataSetObserver::AfterInsert);
    FireScroll();
}

void TADOQuery::Cancel() {
    if (m_state == TDataSetState::dsEdit) {
        m_state = TDataSetState::dsBrowse;
        m_modifiedFields.clear();
        m_impl->buffer.clear();
        m_impl->editRow = nullptr;
        Notify(TDataNotice::RecordChanged);
        SendEvent(&TDataSetObserver::AfterCancel);
    } else if (m_state == TDataSetState::dsInsert) {
        Impl& d = *m_impl;
        // The row that stood at the inserted row's place becomes current again, else the last.
        const bool rowThere = d.reader.HasRowFrom(d.insertPos, 0);
        m_state = TDataSetState::dsBrowse;
        m_modifiedFields.clear();
        d.buffer.clear();
        const int count = d.reader.Known();
        d.current = rowThere ? d.insertPos : count - 1;
        d.insertPos = -1;
        m_bof = count == 0;
        m_eof = count == 0;
        PlaceWindow();
        Notify(TDataNotice::DataSetChanged);
        SendEvent(&TDataSetObserver::AfterCancel);
        FireScroll();
    }
}

void TADOQuery::Post() {
    if (m_state == TDataSetState::dsEdit)
        PostEdit();
    else if (m_state == TDataSetState::dsInsert)
        PostInsert();
    else
        RaiseNamed("Dataset not in edit or insert mode");
    m_state = TDataSetState::dsBrowse;
    m_modifiedFields.clear();
    m_impl->buffer.clear();
    m_impl->editRow = nullptr;
    m_impl->insertPos = -1;
    Notify(TDataNotice::RecordChanged);
    SendEvent(&TDataSetObserver::AfterPost);
}

// Writes the modified fields of the row in edit state, but only where the row still holds what was
// read: another process's change or delete in between makes the update find no row.
void TADOQuery::PostEdit() {
    Impl& d = *m_impl;
    if (m_modifiedFields.empty())
        return;
    UpdateRow(*m_connection, d.layout, m_modifiedFields, d.buffer, d.editRow);
    d.reader.Rows()[static_cast<std::size_t>(d.current)] = d.reader.Store().Append(d.buffer);
}

void TADOQuery::PostInsert() {
    Impl& d = *m_impl;
    TFieldValue key = InsertRow(*m_connection, d.layout, m_modifiedFields, d.buffer);
    d.buffer[static_cast<std::size_t>(d.layout.KeyField())] = std::move(key);
    auto& rows = d.reader.Rows();
    rows.insert(rows.begin() + d.insertPos, d.reader.Store().Append(d.buffer));
    d.current = d.insertPos;
    PlaceWindow();
}

void TADOQuery::Delete() {
    CheckActive();
    if (m_state == TDataSetState::dsInsert) {
        Cancel();
        return;
    }
    if (!m_impl->reader.HasRow(0))
        RaiseNamed("Cannot perform this operation on an empty dataset");
    CheckBrowseMove();
    CheckUpdatable();
    SendEvent(&TDataSetObserver::BeforeDelete);

    Impl& d = *m_impl;
    DeleteRow(*m_connection, d.layout, d.reader.Cell(d.current, d.layout.KeyField()));
    auto& rows = d.reader.Rows();
    rows.erase(rows.begin() + d.current);
    // The next row becomes current, else the new last one.
    if (!d.reader.HasRowFrom(d.current, 0))
        d.current = d.reader.Known() - 1;
    const bool empty = d.reader.Known() == 0;
    m_bof = empty;
    m_eof = empty;
    PlaceWindow();
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
}
