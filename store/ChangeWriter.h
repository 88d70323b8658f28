#pragma once

#include "FieldValue.h"

#include <cstdint>
#include <vector>

class TADOConnection;
class TResultLayout;

// The change writer: a record set's post and delete as one UPDATE, INSERT or DELETE of the layout's
// table (see ChangeWriter.cpp). Every error is EDatabaseError with the engine's message, without the
// record set's name in front.

// Writes values[f] for every f in fields into the row whose cells as read start at readRow, but only
// where the row still holds what was read; raises the conflict error when no row was changed.
void UpdateRow(TADOConnection& connection, const TResultLayout& layout, const std::vector<int>& fields,
               const std::vector<TFieldValue>& values, const char* readRow);
// Inserts a row of values[f] for every f in fields (the table's defaults for none); returns the new
// row's key. Raises, having stored nothing, when the key is neither given nor numbered by the
// database, when no new key is left, and when the row was not stored (a trigger dropped it).
TFieldValue InsertRow(TADOConnection& connection, const TResultLayout& layout, const std::vector<int>& fields,
                      const std::vector<TFieldValue>& values);
// Deletes the row of key; raises when there was none.
void DeleteRow(TADOConnection& connection, const TResultLayout& layout, const TFieldValue& key);
