// The cell codec and the row store: every value the engine hands over comes back as it went in,
// whichever of the two writers stored it, and a row's cells are found by skipping the ones before.
#include "CellCodec.h"
#include "RowStore.h"

#include <QTest>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(TFieldValue)

namespace {

TFieldValue makeValue(TFieldValue::Type type, std::int64_t integer, double real, std::string text) {
    TFieldValue value;
    value.type = type;
    value.integer = integer;
    value.real = real;
    value.text = std::move(text);
    return value;
}

TFieldValue integer(std::int64_t v) {
    return makeValue(TFieldValue::Int, v, 0, {});
}
TFieldValue real(double v) {
    return makeValue(TFieldValue::Real, 0, v, {});
}
TFieldValue text(std::size_t length, char fill = 'x') {
    return makeValue(TFieldValue::Text, 0, 0, std::string(length, fill));
}
TFieldValue blob(std::string bytes) {
    return makeValue(TFieldValue::Blob, 0, 0, std::move(bytes));
}

// Stores value as the engine does, cell by cell (between a NULL before and an integer after, so
// that finding it means skipping a cell and skipping it finds the next).
const char* storeAsEngine(TRowStore& store, const TFieldValue& value) {
    store.BeginRow();
    store.AddNull();
    switch (value.type) {
    case TFieldValue::Null:
        store.AddNull();
        break;
    case TFieldValue::Int:
        store.AddInteger(value.integer);
        break;
    case TFieldValue::Real:
        store.AddReal(value.real);
        break;
    case TFieldValue::Text:
    case TFieldValue::Blob:
        store.AddBytes(value.type, value.text.data(), value.text.size());
        break;
    }
    store.AddInteger(-7);
    store.EndRow();
    return store.Rows().back();
}

bool sameValue(const TFieldValue& a, const TFieldValue& b) {
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case TFieldValue::Null:
        return true;
    case TFieldValue::Int:
        return a.integer == b.integer;
    case TFieldValue::Real:
        return std::memcmp(&a.real, &b.real, sizeof a.real) == 0; // -0.0 and NaN keep their bits
    case TFieldValue::Text:
    case TFieldValue::Blob:
        break;
    }
    return a.text == b.text;
}

} // namespace

class TestCellCodec : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void rowsLargerThanAChunk();
    void storeKeepsRowsAcrossReuse();
};

void TestCellCodec::roundTrip_data() {
    QTest::addColumn<TFieldValue>("value");
    QTest::addColumn<int>("encodedSize");

    QTest::newRow("NULL") << TFieldValue() << 1;
    // Integers are zigzag varints: 7 bits a byte, the sign in the lowest bit.
    QTest::newRow("0") << integer(0) << 2;
    QTest::newRow("63") << integer(63) << 2;
    QTest::newRow("-64") << integer(-64) << 2;
    QTest::newRow("64") << integer(64) << 3;
    QTest::newRow("-65") << integer(-65) << 3;
    QTest::newRow("8191") << integer(8191) << 3;
    QTest::newRow("8192") << integer(8192) << 4;
    QTest::newRow("largest") << integer(std::numeric_limits<std::int64_t>::max()) << 11;
    QTest::newRow("smallest") << integer(std::numeric_limits<std::int64_t>::min()) << 11;
    QTest::newRow("real") << real(2.5) << 9;
    QTest::newRow("negative zero") << real(-0.0) << 9;
    QTest::newRow("infinity") << real(-std::numeric_limits<double>::infinity()) << 9;
    QTest::newRow("NaN") << real(std::nan("")) << 9;
    // Lengths at the varint's boundaries.
    QTest::newRow("empty text") << text(0) << 2;
    QTest::newRow("text of 127") << text(127) << 1 + 1 + 127;
    QTest::newRow("text of 128") << text(128) << 1 + 2 + 128;
    QTest::newRow("text of 16383") << text(16383) << 1 + 2 + 16383;
    QTest::newRow("text of 16384") << text(16384) << 1 + 3 + 16384;
    QTest::newRow("UTF-8 text") << makeValue(TFieldValue::Text, 0, 0, "标题 ü") << 1 + 1 + 9;
    QTest::newRow("empty BLOB") << blob({}) << 2;
    QTest::newRow("BLOB with NUL bytes") << blob(std::string("a\0b\0", 4)) << 6;
    QTest::newRow("BLOB of 128") << makeValue(TFieldValue::Blob, 0, 0, std::string(128, '\xff')) << 1 + 2 + 128;
}

// Both writers (the engine's cell by cell, and Append for a posted row) give the same bytes, of the
// size the codec computes, and both read back as the value.
void TestCellCodec::roundTrip() {
    QFETCH(TFieldValue, value);
    QFETCH(int, encodedSize);

    const TCellToStore cell = TCellToStore::From(value);
    QCOMPARE(static_cast<int>(cell.EncodedSize()), encodedSize);
    std::vector<char> written(cell.EncodedSize() + 1, '\x55');
    QCOMPARE(static_cast<int>(cell.Write(written.data()) - written.data()), encodedSize);
    QCOMPARE(static_cast<int>(SkipCell(written.data()) - written.data()), encodedSize);
    QVERIFY(sameValue(ReadCell(written.data()), value));

    TRowStore store;
    const char* row = storeAsEngine(store, value);
    const char* appended = store.Append({TFieldValue(), value, integer(-7)});
    for (const char* stored : {row, appended}) {
        QCOMPARE(CellType(CellIn(stored, 0)), TFieldValue::Null);
        const char* at = CellIn(stored, 1);
        QCOMPARE(std::memcmp(at, written.data(), static_cast<std::size_t>(encodedSize)), 0);
        QVERIFY(sameValue(ReadCell(at), value));
        if (value.type == TFieldValue::Int)
            QCOMPARE(ReadIntegerCell(at), value.integer);
        QCOMPARE(ReadIntegerCell(CellIn(stored, 2)), std::int64_t{-7});
    }
}

// A row that does not fit the current chunk moves whole into the next, the cells already written
// with it; a row larger than the largest chunk gets one of its own. Rows stored earlier stay put.
void TestCellCodec::rowsLargerThanAChunk() {
    TRowStore store;
    std::vector<std::size_t> lengths{10, 3000, 3000, 5000, 70000, 5 * 1024 * 1024, 20, 3 * 1024 * 1024};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        store.BeginRow();
        store.AddInteger(static_cast<std::int64_t>(i));
        store.AddBytes(TFieldValue::Text, std::string(lengths[i], static_cast<char>('a' + i)).data(), lengths[i]);
        store.AddReal(static_cast<double>(i) / 2);
        store.EndRow();
    }
    QCOMPARE(store.Rows().size(), lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const char* row = store.Rows()[i];
        QCOMPARE(ReadIntegerCell(row), static_cast<std::int64_t>(i));
        const TFieldValue cell = ReadCell(CellIn(row, 1));
        QCOMPARE(cell.text.size(), lengths[i]);
        QVERIFY(cell.text == std::string(lengths[i], static_cast<char>('a' + i)));
        QCOMPARE(ReadCell(CellIn(row, 2)).real, static_cast<double>(i) / 2);
    }
}

// A closed result's chunks are filled again by the next one; its rows read as written.
void TestCellCodec::storeKeepsRowsAcrossReuse() {
    TRowStore store;
    for (int round = 0; round < 3; ++round) {
        store.Clear();
        for (int i = 0; i < 2000; ++i)
            store.Append({integer(round * 10000 + i), text(static_cast<std::size_t>(i % 300), 'k')});
        // Append does not add to Rows(); the engine's writer does.
        QVERIFY(store.Rows().empty());
        for (int i = 0; i < 2000; ++i)
            storeAsEngine(store, integer(round * 10000 + i));
        store.Completed();
        QCOMPARE(static_cast<int>(store.Rows().size()), 2000);
        for (int i = 0; i < 2000; ++i)
            QCOMPARE(ReadIntegerCell(CellIn(store.Rows()[static_cast<std::size_t>(i)], 1)),
                     std::int64_t{round * 10000 + i});
    }
}

QTEST_APPLESS_MAIN(TestCellCodec)
#include "tst_cellcodec.moc"
