// TSchemaReader: the key of each table a record set may change, read once per table (see
// SchemaReader.h for the contract). Cost: one schema read per table, then a scan of the few names.
#include "SchemaReader.h"

const TTableKey& TSchemaReader::KeyOf(const std::string& table) {
    for (const auto& [name, key] : m_tables)
        if (name == table)
            return key;
    TTableKey key = m_engine.ReadTableKey(table);
    m_tables.emplace_back(table, std::move(key));
    return m_tables.back().second;
}
