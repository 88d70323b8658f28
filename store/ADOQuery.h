#pragma once

#include "Field.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TADOConnection;
struct TFieldValue;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// What changed, as told to a bound grid. Notices are held back between DisableControls and the
// matching EnableControls; EnableControls then sends one DataSetChanged.
enum class TDataNotice {
    LayoutChanged,  // opened or closed: fields and rows are new
    DataSetChanged, // rows may all have changed (also the release of held-back notices)
    Scrolled,       // the current row or the window of rows moved
    RecordChanged,  // the current row's values changed (post, cancel)
    StateChanged,   // browse, edit or insert
    FieldChanged,   // a field of the row being edited or inserted was assigned
};

// A bound control (the grid, its footer totals). Notices are for display; the After/Before events
// are sent also while notices are held back.
class TDataSetObserver {
public:
    virtual ~TDataSetObserver() = default;
    virtual void DataSetNotice(TADOQuery& dataSet, TDataNotice notice) = 0;
    virtual void AfterOpen(TADOQuery&) {}
    virtual void AfterClose(TADOQuery&) {}
    virtual void AfterCancel(TADOQuery&) {}
    virtual void AfterEdit(TADOQuery&) {}
    virtual void AfterInsert(TADOQuery&) {}
    virtual void AfterPost(TADOQuery&) {}
    virtual void BeforeDelete(TADOQuery&) {}
};

// Locate's options: a key is a number, so case never matters; the option is taken for the callers
// that name it.
enum TLocateOption { loCaseInsensitive = 1 };

// A record set: one SQL statement whose result is held in the program as a snapshot, with a current
// row, a state and fields read and written by name. Rows are fetched as they are first needed (see
// ADOQuery.cpp for when that can see a later state of the database than the open's). See
// ADOQuery.cpp for the rules of each operation. All calls happen on one thread.
class TADOQuery {
public:
    // connection may be nullptr and bound later with SetConnection (before the first statement).
    TADOQuery(std::string name, TADOConnection* connection);
    ~TADOQuery();
    TADOQuery(const TADOQuery&) = delete;
    TADOQuery& operator=(const TADOQuery&) = delete;

    const std::string& Name() const { return m_name; }
    TADOConnection* Connection() const { return m_connection; }
    void SetConnection(TADOConnection* connection);

    // Statement text, a list of lines. Every change first closes the record set and connects the
    // connection if it is not yet connected (an error while connecting is ignored here).
    void ClearSQL();
    void AddSQL(const std::string& line);
    const std::vector<std::string>& SQL() const { return m_sql; }
    // The lines each followed by CR LF, as handed to the engine (before parameter markers).
    std::string SQLText() const;

    // Runs the statement and reads its first row; the rest is fetched as it is needed. Does nothing
    // when already open. Raises EOleException for the engine's errors and EDatabaseError "<name>:
    // CommandText does not return a result set"; the record set then stays closed. Fires AfterOpen to
    // observers and then AfterScroll when the result has rows; an error from those leaves the record
    // set open.
    void Open();
    // Discards the result and any unposted change; fires AfterClose to observers. Never raises.
    void Close();
    bool Active() const { return m_state != TDataSetState::dsInactive; }
    TDataSetState State() const { return m_state; }

    // Raise "<name>: Cannot perform this operation on a closed dataset" when closed. RecordCount
    // fetches every row; IsEmpty (no rows but the one being inserted) needs only the first. Both
    // raise EOleException when a fetch fails.
    int RecordCount() const;
    bool IsEmpty() const;
    void First();
    void Next();
    int MoveBy(int distance); // rows actually moved, negative backwards
    void Last();
    bool Bof() const { return m_bof; }
    bool Eof() const { return m_eof; }
    // 1-based position of the current row; -1 when empty, closed or inserting.
    int RecNo() const;
    void SetRecNo(int recNo);
    // Finds the row whose integer field equals value (a real or a text cell only when it holds that
    // very integer). Returns false (and changes nothing) when not found or on any error but the
    // closed-dataset error, an implicit post's error and the AfterScroll handler's error.
    bool Locate(std::string_view fieldName, std::int64_t value, int options = loCaseInsensitive);

    // Fields of the result, in column order; empty while closed.
    int FieldCount() const { return static_cast<int>(m_fields.size()); }
    TField& Fields(int index) const { return *m_fields.at(index); }
    TField* FindField(std::string_view name) const;   // case-insensitive; nullptr when missing
    TField& FieldByName(std::string_view name) const; // raises "<name>: Field '%s' not found"

    // Changes (written at once by Post and Delete).
    void Edit();
    void Insert();
    void Post();
    void Cancel();
    void Delete();
    bool Modified() const { return !m_modifiedFields.empty(); }

    // Events. AfterScroll is the window's handler, called with this record set after every change of
    // the current row, after observers were told.
    std::function<void(TADOQuery&)> AfterScroll;
    void AddObserver(TDataSetObserver* observer);
    void RemoveObserver(TDataSetObserver* observer);

    // Hold back / release change notices to observers (nested). AfterScroll still fires.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return m_disableCount > 0; }

    // The window of rows a grid shows: up to BufferCount() consecutive rows containing the current
    // row. The grid sets BufferCount to its number of lines; moves keep the current row inside the
    // window as a grid expects (past the bottom: on the bottom line; past the top: on the top line;
    // First: top line; Last: bottom line; Locate: the middle).
    void SetBufferCount(int lines);
    int BufferCount() const { return m_bufferCount; }
    int WindowRowCount() const; // rows in the window now, 0 when closed or empty
    int ActiveLine() const;     // the current row's line in the window, -1 when there is none
    // Cell access for window lines 0 .. WindowRowCount()-1; fieldIndex as in Fields().
    bool IsNullAt(int line, int fieldIndex) const;
    std::string TextAt(int line, int fieldIndex) const;
    // What a grid cell shows: the text, or (MEMO)/(Memo) for a Memo field.
    std::string DisplayTextAt(int line, int fieldIndex) const;
    // The same by position in the whole list (0 .. ViewRowCount()-1, the row being inserted in its
    // place), for readers not bound to the window, such as assistive technology. WindowTop() is the
    // position on the window's first line, -1 when there is none. Counting fetches every row.
    int ViewRowCount() const;
    int WindowTop() const;
    std::string TextAtRow(int row, int fieldIndex) const;
    std::string DisplayTextAtRow(int row, int fieldIndex) const;

private:
    friend class TField;
    struct Impl;

    void CheckActive() const;
    void CheckBrowseMove(); // leaves edit/insert state (implicit post or cancel)
    void CheckUpdatable() const;
    void Notify(TDataNotice notice);
    template <typename Event> void SendEvent(Event event);
    void FireScroll();
    [[noreturn]] void RaiseNamed(const std::string& message) const;

    // Row access for fields and the grid.
    // Rows plus the row being inserted, exact when below wanted; at least wanted otherwise (rows past
    // that need not be fetched yet).
    int ViewCountUpTo(int wanted) const;
    // Whether row (a position in the whole list, the row being inserted included) is there; fetches
    // up to it.
    bool RowInView(int row) const;
    // Whether the field shows (MEMO)/(Memo) in place of its text.
    bool IsMemoField(int fieldIndex) const;
    TFieldValue ValueAt(int viewIndex, int fieldIndex) const;
    TFieldValue CurrentValue(int fieldIndex) const;
    // Quick reads of the current row's cell that build no value: whether it is NULL, and its integer
    // when it holds one (false otherwise).
    bool CurrentIsNull(int fieldIndex) const;
    bool CurrentInteger(int fieldIndex, std::int64_t& value) const;
    void CheckCanAssign(const TField& field) const;
    void AssignValue(int fieldIndex, TFieldValue value);
    static std::string ValueText(const TFieldValue& value);
    void PlaceWindow();              // keeps the current row inside the window, the window filled
    void PlaceWindowAround(int row); // the row in the middle, as locate shows it
    void RunStatement();
    template <typename Call> void ForEachObserver(Call call);
    void PostEdit();
    void PostInsert();

    std::string m_name;
    TADOConnection* m_connection;
    std::vector<std::string> m_sql;
    std::vector<std::string> m_spareLines; // storage of cleared lines, reused by AddSQL
    TDataSetState m_state = TDataSetState::dsInactive;
    bool m_bof = true;
    bool m_eof = true;
    std::vector<std::unique_ptr<TField>> m_fields;
    std::vector<int> m_modifiedFields;
    std::vector<TDataSetObserver*> m_observers;
    int m_disableCount = 0;
    int m_bufferCount = 1;
    std::unique_ptr<Impl> m_impl;
};
