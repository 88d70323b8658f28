"""What a screen reader finds in the running TamrixData, through AT-SPI (pyatspi), and where the
dialogs and the plain message box stand on the screen. Run by run-accessibility-check.sh inside its
X server, window manager and accessibility bus, with the program started on a demo database.

    accessibility-check.py DATABASE LISTENING

LISTENING is a file made once the checker listens for events; the program is started after that.

Checks, as a user would drive the program (mouse clicks and keys through xdotool):
  - the main window is a frame; its record grid is a table of the whole list: column headers, a row
    per record with the texts the lines show (compared with the database), the footer total as
    description;
  - a click and two Down keys make the third row the selected one, its first cell focused, and the
    screen reader is told (a focus event from that cell); End tells the last record's row;
  - the editor's nine edits and the search dialog's nine edits carry their labels as names, and the
    paragraph grid is a table too, its cells described by their paragraphs' first lines;
  - the editor, the search dialog and the plain message box are centred, frame included (over the
    main window, over the main window, on the screen).
"""
import re
import sqlite3
import subprocess
import sys
import time

import pyatspi
from atspi_tree import descendants, pump

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)
    return condition




def wait_for(find, what, seconds=15):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            found = find()
        except Exception:  # objects come and go while windows open
            found = None
        if found:
            return found
        pump(0.2)
    print("FAIL " + what + " (not found)")
    sys.exit(1)




def find(root, role, name=None, showing=True):
    for accessible in descendants(root):
        if accessible.getRole() != role or (name is not None and accessible.name != name):
            continue
        if showing and not accessible.getState().contains(pyatspi.STATE_SHOWING):
            continue
        return accessible
    return None


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "TamrixData":
            return app
    return None


def click(accessible, clicks=1):
    x, y, w, h = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "--repeat", str(clicks),
                    "1"], check=True)


def key(*names):
    subprocess.run(["xdotool", "key", "--delay", "100", *names], check=True)


def outer_frame(title):
    """The window's frame on the screen (x, y, width, height): its client area as the X server has it
    and the frame extents the window manager set around it."""
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(title) + "$"],
                         capture_output=True, text=True).stdout.split()
    if not ids:
        return None
    window = ids[-1]
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    value = lambda label: int(re.search(label + r":\s+(-?\d+)", info).group(1))
    extents = subprocess.run(["xprop", "-id", window, "_NET_FRAME_EXTENTS"], capture_output=True, text=True).stdout
    if "=" not in extents:
        return None  # the window manager has not framed it yet
    left, right, top, bottom = (int(n) for n in re.findall(r"\d+", extents.split("=")[1]))
    return (value("Absolute upper-left X") - left, value("Absolute upper-left Y") - top,
            value("Width") + left + right, value("Height") + top + bottom)


def check_centred(title, over, what):
    """The window may move once more, by a few pixels, when its frame differs from the one guessed."""
    def offset():
        frame = outer_frame(title)
        if frame is None:
            return None
        return (frame[0] + frame[2] / 2) - (over[0] + over[2] / 2), (frame[1] + frame[3] / 2) - (over[1] + over[3] / 2)

    centred = lambda off: off is not None and abs(off[0]) <= 1.5 and abs(off[1]) <= 1.5
    wait_for(offset, title + " framed")
    end = time.monotonic() + 3
    while not centred(offset()) and time.monotonic() < end:
        pump(0.1)
    dx, dy = offset()
    check(centred((dx, dy)), "%s centred %s (off by %.1f, %.1f)" % (title, what, dx, dy))


def check_edit_names(root, names, what):
    edits = [e.name for e in descendants(root) if e.getRole() == pyatspi.ROLE_TEXT]
    missing = [name for name in names if name not in edits]
    check(not missing, "%s edits named by their labels (missing: %s)" % (what, " ".join(missing) or "none"))


def main():
    database = sys.argv[1]
    with sqlite3.connect(database) as db:
        records = db.execute("Select TitleIndex, TitleTxt From Title Order By TitleIndex").fetchall()

    focus_events = []
    def heard(event):
        try:
            if event.detail1:
                source = event.source
                row = -1
                if source.getRole() == pyatspi.ROLE_TABLE_CELL:
                    row = source.parent.queryTable().getRowAtIndex(source.getIndexInParent())
                focus_events.append((source.getRole(), source.name, row))
        except Exception:  # an object that is gone by now
            pass

    pyatspi.Registry.registerEventListener(heard, "object:state-changed:focused")
    pump(0.5)
    open(sys.argv[2], "w").close()

    app = wait_for(application, "the program on the accessibility bus")
    main_window = wait_for(lambda: find(app, pyatspi.ROLE_FRAME, "Kovani电子数据库软件"), "main window (a frame)")
    grid = wait_for(lambda: find(main_window, pyatspi.ROLE_TABLE, "记录列表"), "record grid")
    table = grid.queryTable()
    rows = table.nRows
    check(table.nColumns == 2, "record grid has 2 columns")
    check(rows == len(records), "record grid rows are the %d records (%d)" % (len(records), rows))
    check([table.getColumnHeader(c).name for c in range(2)] == ["编号", "标题"], "column headers 编号 标题")
    some = list(range(12)) + [len(records) - 1]
    shown = [[table.getAccessibleAt(r, c).name for c in range(2)] for r in some]
    expected = [[str(records[r][0]), records[r][1]] for r in some]
    check(shown == expected, "cells read as the lines show the records, the last one too")
    check(grid.description == "合计 %d" % len(records), "footer total as description: " + grid.description)

    click(table.getAccessibleAt(0, 1))
    key("Down", "Down")
    told = lambda: (pyatspi.ROLE_TABLE_CELL, str(records[2][0]), 2) in focus_events
    end = time.monotonic() + 5
    while not told() and time.monotonic() < end:
        pump(0.1)
    check(list(table.getSelectedRows()) == [2], "two Down keys select the third line")
    third = table.getAccessibleAt(2, 0)
    check(third.getState().contains(pyatspi.STATE_FOCUSED), "the third line's first cell is focused")
    check(told(), "the screen reader is told: focus event from the third line's cell")
    key("End")
    last = len(records) - 1
    told = lambda: (pyatspi.ROLE_TABLE_CELL, str(records[last][0]), last) in focus_events
    end = time.monotonic() + 5
    while not told() and time.monotonic() < end:
        pump(0.1)
    check(told(), "End: focus event from the last record's cell, row %d of %d" % (last + 1, table.nRows))
    key("Home")

    main_frame = outer_frame("Kovani电子数据库软件")
    screen = (0, 0) + tuple(int(n) for n in subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True,
                                                           text=True).stdout.split())

    # A double-click opens the current record in the editor.
    click(table.getAccessibleAt(2, 1), clicks=2)
    editor = wait_for(lambda: find(app, pyatspi.ROLE_DIALOG, "FormNote"), "editor")
    check_edit_names(editor, ["标题信息："] + ["★字段%s：" % n for n in "一二三四五六七八"], "editor")
    paragraphs = wait_for(lambda: find(editor, pyatspi.ROLE_TABLE, "段落列表"), "paragraph grid").queryTable()
    with sqlite3.connect(database) as db:
        texts = [t for (t,) in db.execute("Select ContentTxt From Content Where ContentTitle = ? Order By ContentIndex",
                                          (records[2][0],))]
    check(paragraphs.nColumns == 1 and paragraphs.nRows == len(texts) > 0,
          "paragraph grid rows: %d of %d paragraphs" % (paragraphs.nRows, len(texts)))
    check(paragraphs.getColumnHeader(0).name == "段落内容", "paragraph grid column header 段落内容")
    first = paragraphs.getAccessibleAt(0, 0)
    beginning = re.split(r"[\r\n]", texts[0])[0]
    beginning = beginning if len(beginning) <= 80 else beginning[:80] + "\u2026"
    check(first.name == "(MEMO)", "paragraph cell reads (MEMO)")
    check(first.description == beginning, "paragraph cell described by its first line: " + first.description)
    check_centred("FormNote", main_frame, "over the main window")
    # Modify stores the current paragraph as it is and says so in the plain message box.
    click(find(editor, pyatspi.ROLE_PUSH_BUTTON, "修改"))
    box = wait_for(lambda: find(app, pyatspi.ROLE_DIALOG, "Tamrixdata") or find(app, pyatspi.ROLE_ALERT),
                   "message box")
    check_centred("Tamrixdata", screen, "on the screen")
    check(find(box, pyatspi.ROLE_PUSH_BUTTON, "OK") is not None, "plain box's button says OK")
    key("Return")
    wait_for(lambda: not find(app, pyatspi.ROLE_DIALOG, "Tamrixdata") and not find(app, pyatspi.ROLE_ALERT),
             "message box closed")
    key("alt+F4")
    wait_for(lambda: not find(app, pyatspi.ROLE_DIALOG, "FormNote"), "editor closed")

    click(find(main_window, pyatspi.ROLE_PUSH_BUTTON, "记录搜索"))
    search = wait_for(lambda: find(app, pyatspi.ROLE_DIALOG, "记录搜索"), "search dialog")
    check_edit_names(search, ["记录标题："] + ["☆字段%s：" % n for n in "一二三四五六七八"], "search dialog")
    check_centred("记录搜索", main_frame, "over the main window")
    key("Escape")
    wait_for(lambda: not find(app, pyatspi.ROLE_DIALOG, "记录搜索"), "search dialog closed")

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
