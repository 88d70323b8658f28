// Statement text translation: what the engine is given for a record set's statement text, and the
// bindings that go with it.
#include "StatementText.h"

#include <QStringList>
#include <QTest>

#include <stdexcept>
#include <string>

namespace {

// The bindings as text: the integer, or NULL for a parameter marker of the text.
QStringList bindingTexts(const TTranslation& translation) {
    QStringList texts;
    for (const auto& binding : translation.bindings)
        texts << (binding ? QString::number(*binding) : QStringLiteral("NULL"));
    return texts;
}

// A statement that only records what is bound to it.
class RecordingStatement final : public TEngineStatement {
public:
    explicit RecordingStatement(int parameters) : m_parameters(parameters) {}
    QStringList bound;

    int ParameterCount() const override { return m_parameters; }
    void BindNull(int index) override { bound << QStringLiteral("%1:NULL").arg(index); }
    void BindInteger(int index, std::int64_t value) override { bound << QStringLiteral("%1:%2").arg(index).arg(value); }
    void Bind(int, const TFieldValue&) override {}
    void BindParameters(const std::vector<std::optional<std::int64_t>>& values) override {
        for (std::size_t i = 0; i < values.size() && i < static_cast<std::size_t>(m_parameters); ++i) {
            if (values[i])
                BindInteger(static_cast<int>(i + 1), *values[i]);
            else
                BindNull(static_cast<int>(i + 1));
        }
    }
    int ColumnCount() const override { return 0; }
    bool Step() override { return false; }
    TResultColumn Column(int) const override { return {}; }
    TFieldValue::Type ValueType(int) const override { return TFieldValue::Null; }
    std::size_t ReadRow(TRowStore&) override { return 0; }
    std::uint64_t Generation() const override { return 0; }
    bool Reset() noexcept override { return true; }
    void ClearBindings() noexcept override {}
    [[noreturn]] void RaiseError() const override { throw std::logic_error("not a real statement"); }

private:
    int m_parameters;
};

} // namespace

class TestStatementText : public QObject {
    Q_OBJECT

private slots:
    void translation_data();
    void translation();
    void numberedMarkers();
    void reopenWithOtherIntegers_data();
    void reopenWithOtherIntegers();
};

void TestStatementText::translation_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("translated");
    QTest::addColumn<QStringList>("bindings");

    // Quotes: each of the three opens quoted text that only the same character ends.
    QTest::newRow("apostrophes") << "Where a = 'x:y = 5'"
                                 << "Where a = 'x:y = 5'" << QStringList();
    QTest::newRow("quotation marks") << "Select \"a:b\" From T Where c = 1"
                                     << "Select \"a:b\" From T Where c = ?" << QStringList{"1"};
    QTest::newRow("grave accents") << "Select `x = 3` From T"
                                   << "Select `x = 3` From T" << QStringList();
    QTest::newRow("other quote inside") << "Where a = '5\" disk :b' And c = 2"
                                        << "Where a = '5\" disk :b' And c = ?" << QStringList{"2"};
    QTest::newRow("doubled apostrophe") << "Where a = 'it''s :p' And b = 2"
                                        << "Where a = 'it''s :p' And b = ?" << QStringList{"2"};
    QTest::newRow("unclosed quote") << "Where a = 'open :p = 3"
                                    << "Where a = 'open :p = 3" << QStringList();

    // Colons: a marker runs to a blank, comma, semicolon, closing parenthesis or line break.
    QTest::newRow("markers") << "Where a = :name And b In (:x,:y);"
                             << "Where a = ? And b In (?,?);" << QStringList{"NULL", "NULL", "NULL"};
    QTest::newRow("marker at the end") << "Where a = :last"
                                       << "Where a = ?" << QStringList{"NULL"};
    QTest::newRow("marker to the line break") << "Where a = :p\r\nOr b = 4"
                                              << "Where a = ?\r\nOr b = ?" << QStringList{"NULL", "4"};
    QTest::newRow("doubled colon") << "Select a::b, '::' From T"
                                   << "Select a:b, '::' From T" << QStringList();
    QTest::newRow("lone colon") << "Where a = :"
                                << "Where a = ?" << QStringList{"NULL"};

    // Integer literals: lifted only right after a comparison and when they stand alone.
    QTest::newRow("comparisons") << "Where a = 57 And b>=12 And c <> 3 And d<5"
                                 << "Where a = ? And b>=? And c <> ? And d<?" << QStringList{"57", "12", "3", "5"};
    QTest::newRow("tab before") << "Where a =\t9"
                                << "Where a =\t?" << QStringList{"9"};
    QTest::newRow("not after a comparison") << "Select a + 5 From T Limit 10"
                                            << "Select a + 5 From T Limit 10" << QStringList();
    QTest::newRow("decimal") << "Where a = 5.5 And b = .5"
                             << "Where a = 5.5 And b = .5" << QStringList();
    QTest::newRow("in a name") << "Where Title1 = 2 And a = 5x"
                               << "Where Title1 = ? And a = 5x" << QStringList{"2"};
    QTest::newRow("negative") << "Where a = -5"
                              << "Where a = -5" << QStringList();
    QTest::newRow("18 digits") << "Where a = 999999999999999999"
                               << "Where a = ?" << QStringList{"999999999999999999"};
    QTest::newRow("19 digits") << "Where a = 9999999999999999999"
                               << "Where a = 9999999999999999999" << QStringList();
    QTest::newRow("marker and literal in order")
        << "Where a = :p And b = 7 And c = :q"
        << "Where a = ? And b = ? And c = ?" << QStringList{"NULL", "7", "NULL"};

    // Comments pass through: nothing in them becomes a marker or a binding. Regression: a number or
    // a colon in a comment took a binding, and every binding after it went to the wrong parameter.
    QTest::newRow("line comment") << "Select * -- id = 1, a: b\r\nFrom T Where id = 2"
                                  << "Select * -- id = 1, a: b\r\nFrom T Where id = ?" << QStringList{"2"};
    QTest::newRow("line comment at the end") << "Select 1 -- it's = 3"
                                             << "Select 1 -- it's = 3" << QStringList();
    QTest::newRow("block comment") << "/* it's id = 1 :p */ Select * From T Where id = 2 And s = '::'"
                                   << "/* it's id = 1 :p */ Select * From T Where id = ? And s = '::'"
                                   << QStringList{"2"};
    QTest::newRow("unclosed block comment") << "Select 1 /* a = 3"
                                            << "Select 1 /* a = 3" << QStringList();
    QTest::newRow("comment marks in quotes") << "Where a = '--' And b = '/*' And c = 4"
                                             << "Where a = '--' And b = '/*' And c = ?" << QStringList{"4"};
    QTest::newRow("minus and division") << "Where a = 8 - 2 / 1"
                                        << "Where a = ? - 2 / 1" << QStringList{"8"};
}

void TestStatementText::translation() {
    QFETCH(QString, text);
    QFETCH(QString, translated);
    QFETCH(QStringList, bindings);

    TTranslation translation;
    TranslateStatement(text.toStdString(), TDialect::TMarkers::Question, translation);
    QCOMPARE(QString::fromStdString(translation.text), translated);
    QCOMPARE(bindingTexts(translation), bindings);
}

void TestStatementText::numberedMarkers() {
    TTranslation translation;
    TranslateStatement("Where a = :p And b = 7 And c = ':q'", TDialect::TMarkers::DollarNumbered, translation);
    QCOMPARE(QString::fromStdString(translation.text), QString("Where a = $1 And b = $2 And c = ':q'"));
    QCOMPARE(bindingTexts(translation), QStringList({"NULL", "7"}));
}

// A handler reopens its record set with one statement line for row after row: the translation
// stands and only the lifted integers' bindings change; any other change translates anew.
void TestStatementText::reopenWithOtherIntegers_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("translatedAgain");
    QTest::addColumn<QString>("translated");
    QTest::addColumn<QStringList>("bound");

    QTest::newRow("other integer") << "Select * From Content Where TitleIndex = 57"
                                   << "Select * From Content Where TitleIndex = 123456" << false
                                   << "Select * From Content Where TitleIndex = ?\r\n"
                                   << QStringList{"1:123456"};
    QTest::newRow("same text") << "Where a = 1 And b = :p And c = 2"
                               << "Where a = 1 And b = :p And c = 2" << false << "Where a = ? And b = ? And c = ?\r\n"
                               << QStringList{"1:1", "2:NULL", "3:2"};
    QTest::newRow("other text") << "Where a = 1"
                                << "Where b = 3" << true << "Where b = ?\r\n"
                                << QStringList{"1:3"};
    QTest::newRow("decimal instead") << "Where a = 1"
                                     << "Where a = 1.5" << true << "Where a = 1.5\r\n"
                                     << QStringList();
    QTest::newRow("longer tail") << "Where a = 1"
                                 << "Where a = 1 Or 1" << true << "Where a = ? Or 1\r\n"
                                 << QStringList{"1:1"};
    QTest::newRow("too many digits") << "Where a = 1"
                                     << "Where a = 1234567890123456789" << true << "Where a = 1234567890123456789\r\n"
                                     << QStringList();
}

void TestStatementText::reopenWithOtherIntegers() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, translatedAgain);
    QFETCH(QString, translated);
    QFETCH(QStringList, bound);

    TStatementText text;
    QVERIFY(text.Take({first.toStdString()}, TDialect::TMarkers::Question));
    QCOMPARE(text.Take({second.toStdString()}, TDialect::TMarkers::Question), translatedAgain);
    QCOMPARE(QString::fromStdString(text.Translated()), translated);
    RecordingStatement statement(static_cast<int>(bound.size()));
    text.BindTo(statement);
    QCOMPARE(statement.bound, bound);
}

QTEST_APPLESS_MAIN(TestStatementText)
#include "tst_statementtext.moc"
