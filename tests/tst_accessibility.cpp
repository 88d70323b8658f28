// What assistive technology gets from the real windows on a real database: both record grids as
// tables of their whole lists, following keyboard moves; edits named by their labels; and Qt's own
// texts in the user's language while the plain box keeps its English "OK". (The events that tell a
// screen reader of a move reach only a running accessibility bridge: the check of the real program
// under X sees them.)
#include "ADOQuery.h"
#include "AppShell.h"
#include "DBGridEh.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "TestDatabase.h"
#include "WindowSet.h"
#include "WindowTestHelpers.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

namespace {

QString Name(QAccessibleInterface* object) {
    return object ? object->text(QAccessible::Name) : QStringLiteral("<none>");
}

QStringList RowTexts(QAccessibleTableInterface* table, int row) {
    QStringList texts;
    for (int column = 0; column < table->columnCount(); ++column)
        texts << Name(table->cellAt(row, column));
    return texts;
}

bool HasChinese(const QString& text) {
    return text.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]")));
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT

    std::unique_ptr<TestDatabase> m_db;

    static TDBGridEh* Grid(QWidget* window) { return window->findChild<TDBGridEh*>(QStringLiteral("DBGridEh1")); }

private slots:
    void initTestCase() { InstallProgramFont(); }

    void init() {
        m_db = std::make_unique<TestDatabase>();
        m_db->makeCurrent();
    }
    void cleanup() {
        DestroyWindowSet();
        m_db.reset();
    }

    // The main window's grid shows a window of a longer list, and the table tells the whole list: as
    // many rows as records, a record's row its position (regression: the table had only the lines
    // on screen, numbered from the top line, so the 40th record was read as row 16 of 16). Titles
    // are the column headers, the footer the description, and the current row follows the keys.
    void recordGridIsATableOfTheWholeList() {
        for (int i = 1; i <= 40; ++i)
            AddRecord(*m_db, QStringLiteral("标题%1").arg(i), {});
        CreateWindowSet();
        FormMain->show();
        QVERIFY(QTest::qWaitForWindowExposed(FormMain));
        QCOMPARE(QAccessible::queryAccessibleInterface(FormMain)->role(), QAccessible::Window);
        TDBGridEh* grid = Grid(FormMain);
        QAccessibleInterface* object = QAccessible::queryAccessibleInterface(grid);
        QVERIFY(object);
        QAccessibleTableInterface* table = object->tableInterface();
        QVERIFY(table);

        QCOMPARE(object->role(), QAccessible::Table);
        QCOMPARE(Name(object), QStringLiteral("记录列表"));
        QCOMPARE(object->text(QAccessible::Description), QStringLiteral("合计 40"));
        const int lines = grid->LinesShown();
        QVERIFY2(lines > 3 && lines < 40, qPrintable(QString::number(lines)));
        QCOMPARE(table->rowCount(), 40);
        QCOMPARE(table->columnCount(), 2);
        QCOMPARE(object->childCount(), 2 * 41);
        QCOMPARE(Name(object->child(0)), QStringLiteral("编号"));
        QCOMPARE(object->child(1)->role(), QAccessible::ColumnHeader);
        QCOMPARE(RowTexts(table, 0), (QStringList{"1", "标题1"}));
        QCOMPARE(RowTexts(table, 39), (QStringList{"40", "标题40"}));
        QVERIFY(table->cellAt(39, 1)->state().offscreen);
        QVERIFY(table->cellAt(39, 1)->rect().isEmpty());
        QVERIFY(!table->cellAt(40, 0));
        QCOMPARE(object->indexOfChild(table->cellAt(1, 1)), 2 + 1 * 2 + 1);
        QCOMPARE(table->selectedRows(), QList<int>{0});

        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Down);
        QCOMPARE(table->selectedRows(), QList<int>{2});
        QVERIFY(table->cellAt(2, 1)->state().selected);
        QCOMPARE(object->focusChild(), table->cellAt(2, 0));
        QVERIFY(object->focusChild()->state().focused);

        // End scrolls the lines; every cell keeps its record, and the last one is now on the screen.
        QAccessibleInterface* lastTitle = table->cellAt(39, 1);
        QTest::keyClick(grid, Qt::Key_End);
        QCOMPARE(table->rowCount(), 40);
        QCOMPARE(table->selectedRows(), QList<int>{39});
        QCOMPARE(object->focusChild(), table->cellAt(39, 0));
        QCOMPARE(object->focusChild()->tableCellInterface()->rowIndex(), 39);
        QCOMPARE(Name(lastTitle), QStringLiteral("标题40"));
        QVERIFY(!lastTitle->state().offscreen);
        QCOMPARE(object->childAt(lastTitle->rect().center().x(), lastTitle->rect().center().y()), lastTitle);
        QCOMPARE(table->rowDescription(39), QStringLiteral("40"));
        QCOMPARE(RowTexts(table, 0), (QStringList{"1", "标题1"}));
        QVERIFY(table->cellAt(0, 1)->state().offscreen);
    }

    // Cells are made as they are asked for; walking a long list keeps those in sight (the same objects
    // when asked again) and lets the others go, instead of keeping one object per record visited.
    void cellsOfALongListDoNotPileUp() {
        m_db->fillDemo(1500);
        CreateWindowSet();
        FormMain->show();
        QVERIFY(QTest::qWaitForWindowExposed(FormMain));
        QAccessibleTableInterface* table = QAccessible::queryAccessibleInterface(Grid(FormMain))->tableInterface();
        QCOMPARE(table->rowCount(), 1500);
        const QAccessible::Id shown = QAccessible::uniqueId(table->cellAt(0, 1));
        const QAccessible::Id far = QAccessible::uniqueId(table->cellAt(1400, 1));
        const QString farText = Name(table->cellAt(1400, 1));
        for (int row = 100; row < 1300; ++row)
            QVERIFY(table->cellAt(row, 0));
        QCOMPARE(QAccessible::uniqueId(table->cellAt(0, 1)), shown);
        QVERIFY(!QAccessible::accessibleInterface(far));
        QCOMPARE(Name(table->cellAt(1400, 1)), farText);
    }

    // The editor's paragraph grid goes through the same table: its cells read "(MEMO)" as the lines
    // show, and describe themselves by the paragraph's first line, cut short when it is long.
    void paragraphGridIsATableToo() {
        const QString longLine = QString(100, QChar(0x5b57));
        const int titleIndex =
            AddRecord(*m_db, QStringLiteral("记录"), {"P", QStringLiteral("第一行\r\n第二行"), longLine + "\nmore"});
        m_db->exec(QStringLiteral("Insert Into Content (ContentTitle, ContentTxt) Values (%1, NULL)").arg(titleIndex));
        CreateWindowSet();
        FormMain->show();
        FormNote->EditTitleIndex = titleIndex;
        QVERIFY(WhileDialogShown(
            FormNote, [] { FormNote->exec(); },
            [&] {
                QAccessibleInterface* object = QAccessible::queryAccessibleInterface(Grid(FormNote));
                QAccessibleTableInterface* table = object->tableInterface();
                QCOMPARE(Name(object), QStringLiteral("段落列表"));
                QCOMPARE(object->text(QAccessible::Description), QStringLiteral("4"));
                QCOMPARE(table->rowCount(), 4);
                QCOMPARE(table->columnCount(), 1);
                QCOMPARE(Name(object->child(0)), QStringLiteral("段落内容"));
                QStringList names;
                QStringList descriptions;
                for (int row = 0; row < 4; ++row) {
                    names << Name(table->cellAt(row, 0));
                    descriptions << table->cellAt(row, 0)->text(QAccessible::Description);
                }
                QCOMPARE(names, (QStringList{"(MEMO)", "(MEMO)", "(MEMO)", "(Memo)"}));
                QCOMPARE(descriptions,
                         (QStringList{"P", QStringLiteral("第一行"), longLine.left(80) + QChar(0x2026), QString()}));
                FormNote->reject();
            }));
    }

    // Each edit of the editor and of the search dialog is named by the label in front of it.
    void editsAreNamedByTheirLabels() {
        CreateWindowSet();
        struct LabelledEdit {
            QWidget* window;
            QString label;
            QString edit;
        };
        QList<LabelledEdit> pairs{{FormNote, "Label1", "Edit1"}};
        for (int k = 1; k <= 8; ++k)
            pairs.append({FormNote, QStringLiteral("Label%1").arg(k + 2), QStringLiteral("Edit%1").arg(k + 1)});
        for (int k = 1; k <= 9; ++k)
            pairs.append({FormSearch, QStringLiteral("Label%1").arg(k), QStringLiteral("Edit%1").arg(k)});
        for (const LabelledEdit& pair : pairs) {
            const QString label = pair.window->findChild<QLabel*>(pair.label)->text();
            QAccessibleInterface* edit =
                QAccessible::queryAccessibleInterface(pair.window->findChild<QLineEdit*>(pair.edit));
            QCOMPARE(Name(edit), label);
        }
    }

    // Under a Chinese locale Qt's own texts (an edit's context menu, the error box's standard button)
    // are Chinese, while the plain box keeps "OK" as the program always said it.
    void qtTextsFollowTheLocaleButThePlainBoxSaysOk() {
        const QLocale before;
        const auto restore = qScopeGuard([before] {
            QLocale::setDefault(before);
            InstallQtTranslations();
        });
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        InstallQtTranslations();

        QLineEdit edit;
        const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
        const QString undo = menu->actions().constFirst()->text();
        QVERIFY2(HasChinese(undo), qPrintable(undo));

        QStringList buttons;
        {
            MessageBoxWatcher watcher([&buttons](QMessageBox& box) {
                for (QAbstractButton* button : box.buttons())
                    buttons << button->text();
                box.buttons().constFirst()->click();
            });
            ShowMessage(QStringLiteral("记录修改成功"));
            ShowErrorBox(QStringLiteral("出错"));
        }
        QCOMPARE(buttons.size(), 2);
        QCOMPARE(buttons[0], QStringLiteral("OK"));
        QVERIFY2(HasChinese(buttons[1]), qPrintable(buttons[1]));
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
