#pragma once

#include "DatabaseEngine.h"

#include <list>
#include <string>
#include <utility>

// What the schema says of the tables a connection's record sets change: each table's key, read from
// the engine once per table and kept for the connection's life (a read cut short is not kept).
// A lookup compares the names of the tables read so far.
class TSchemaReader {
public:
    explicit TSchemaReader(TDatabaseEngine& engine) : m_engine(engine) {}
    // Raises EOleException when the engine cannot read the schema. The reference stays valid for the
    // reader's life.
    const TTableKey& KeyOf(const std::string& table);

private:
    TDatabaseEngine& m_engine;
    std::list<std::pair<std::string, TTableKey>> m_tables;
};
