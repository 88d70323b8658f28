"""Three copies of the real TamrixData on one PostgreSQL database, driven at the same time through
AT-SPI (pyatspi) as three users at three desks would drive them. Run by run-server-instances.sh
inside its X server, window manager and session bus, with the server's tables made and 20 demo
records in them; psql finds the server through PGHOST, PGUSER and PGDATABASE.

    server-instances.py PATH_OF_TamrixData PATH_OF_tamrixdata-db WORK_DIR [SCREENSHOT.png]

The copies are told apart by their process ids. Texts are set and push buttons pressed through
AT-SPI; the main window's image buttons and the lines of the grids are clicked with the mouse
(xdotool), the windows closed with WM_DELETE_WINDOW as their close boxes do. What the copies do:
  - each opens the editor for a new record and names it; in turns A, B, C, A, B, C ... each adds
    paragraphs; B deletes its middle one, A changes its; each paragraph grid lists only its own
    editor's paragraphs, in order, and the server holds them under three different pending keys;
  - C's editor is closed with the close box: its paragraphs go, A's and B's stay; A and B press OK;
  - A and B open the same stored record; A saves first, B's save is refused with the record set's
    conflict message and A's values stay;
  - the server restarts while C composes a new record with a paragraph typed but not added: C's add
    says once that the connection was lost and writes nothing, the editor keeps what was typed; the
    next add connects again and works, and OK stores the record with its three paragraphs; B's main
    window, idle through the restart, searches and lists every record at the latest the second time;
  - the three main windows are closed and every copy ends with exit code 0. Then each new record
    holds exactly its own paragraphs in order, C left nothing, no pending paragraph is left, the other
    demo records are as they were, and tamrixdata-db check finds nothing wrong.
"""
import ctypes
import os
import re
import subprocess
import sys
import time

import pyatspi
from atspi_tree import descendants, pump

CAPTION = "Kovani电子数据库软件"
TITLE = "Tamrixdata"  # the application title: caption of the message and error boxes
UPDATE_CONFLICT = "Row cannot be located for updating. Some values may have been changed since it was last read."
# What every action says when it meets a connection the server has dropped.
LOST = "与数据库服务器的连接已中断（服务器重启或网络断开）：本次操作未完成，已输入的内容仍保留；下一次操作将重新连接"
TITLE_COLUMNS = ["TitleTxt"] + ["Title%d" % n for n in range(1, 9)]
# Where each copy's main window stands, so that the three editors, centred over them, do not overlap.
PLACES = {"A": (0, 0), "B": (829, 0), "C": (400, 600)}


class Failed(Exception):
    pass


def require(condition, what):
    if not condition:
        raise Failed(what)


def check(condition, what):
    require(condition, what)
    print("ok   " + what, flush=True)




def wait_for(probe, what, seconds=15):
    """Waits for probe() to give something true; on timeout fails, telling what the probe saw last
    when it gives a pair (found, seen)."""
    end = time.monotonic() + seconds
    seen = None
    while True:
        try:
            found = probe()
        except Exception as error:  # objects come and go while windows open and close
            found, seen = None, "error: %s" % error
        if isinstance(found, tuple):
            found, seen = found
        if found:
            return found
        if time.monotonic() >= end:
            raise Failed("%s (waited %d s; found: %s)" % (what, seconds, seen))
        pump(0.1)




def find(root, roles, name=None):
    roles = roles if isinstance(roles, tuple) else (roles,)
    for accessible in descendants(root):
        if accessible.getRole() in roles and (name is None or accessible.name == name) and \
                accessible.getState().contains(pyatspi.STATE_SHOWING):
            return accessible
    return None


def click(accessible):
    x, y, w, h = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)


def press(button):
    """Presses a push button through its action. (The main window's image buttons are clicked instead:
    their action runs the command, modal editor and all, before it answers.)"""
    action = button.queryAction()
    names = [action.getName(i).lower() for i in range(action.nActions)]
    require("press" in names, "%r can be pressed (actions: %s)" % (button.name, names))
    action.doAction(names.index("press"))


def text_of(accessible):
    text = accessible.queryText()
    return text.getText(0, text.characterCount)


def set_text(edit, value):
    edit.queryEditableText().setTextContents(value)
    wait_for(lambda: (text_of(edit) == value, text_of(edit)), "%r reads %r" % (edit.name, value))


def psql(sql):
    """Rows of a query, fields split at tabs (the texts used here hold none)."""
    out = subprocess.run(["psql", "-XAtq", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True,
                         capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines()]


def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], capture_output=True, text=True).stdout.split()


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class X11:
    """Sends WM_DELETE_WINDOW as the close box does (xdotool's windowclose would destroy the window
    behind the program's back)."""

    def __init__(self):
        self.lib = ctypes.CDLL("libX11.so.6")
        self.lib.XOpenDisplay.restype = ctypes.c_void_p
        self.lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.lib.XInternAtom.restype = ctypes.c_ulong
        self.lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        self.lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    def close(self, window):
        display = self.lib.XOpenDisplay(None)
        require(display is not None, "the X display opens")
        event = XEvent()
        ctypes.memset(ctypes.byref(event), 0, ctypes.sizeof(event))
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = self.lib.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = self.lib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        self.lib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
        self.lib.XSync(display, 0)
        self.lib.XCloseDisplay(display)


class Instance:
    def __init__(self, name, program, server, work):
        self.name = name
        self.log = open(os.path.join(work, "instance-%s.log" % name), "w")
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.process = subprocess.Popen([program, "--database=" + server], cwd=work, env=environment,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        self.app = self.main = self.records = self.editor = None
        self.paragraphs = []  # what this copy's editor should list, in order

    def attach(self):
        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == self.pid:
                    return app
            return None, "no application of process %d on the bus" % self.pid
        self.app = wait_for(application, "copy %s on the accessibility bus" % self.name, 20)
        self.main = wait_for(lambda: find(self.app, pyatspi.ROLE_FRAME, CAPTION), "copy %s main window" % self.name)
        self.records = wait_for(lambda: find(self.main, pyatspi.ROLE_TABLE, "记录列表"),
                                "copy %s record grid" % self.name)

    def window(self, title):
        """The X window of this copy's visible top-level window of that title."""
        ids = wait_for(lambda: xdotool("search", "--all", "--onlyvisible", "--pid", str(self.pid), "--name",
                                       "^" + re.escape(title) + "$"),
                       "copy %s X window %s" % (self.name, title))
        return int(ids[-1])

    def place(self, x, y):
        """Moves the main window there. The window manager and the program's own centring may still
        be placing a window that has just appeared: the move is repeated until it holds."""
        def moved():
            left, top = self.main.queryComponent().getPosition(pyatspi.DESKTOP_COORDS)
            if abs(left - x) <= 10 and abs(top - y) <= 40:
                return True
            xdotool("windowmove", str(self.window(CAPTION)), str(x), str(y))
            pump(0.3)
            return None, (left, top)
        wait_for(moved, "copy %s main window moved to %d, %d" % (self.name, x, y))

    def record_rows(self):
        return self.records.queryTable().nRows

    def box(self, caption=TITLE):
        return find(self.app, (pyatspi.ROLE_ALERT, pyatspi.ROLE_DIALOG), caption)

    def box_text(self, box):
        return " ".join(a.name for a in descendants(box) if a.getRole() == pyatspi.ROLE_LABEL and a.name)

    def answer_box(self, caption, button_names, what):
        box = wait_for(lambda: self.box(caption), "copy %s: %s" % (self.name, what))
        text = self.box_text(box)
        button = wait_for(lambda: next((b for b in descendants(box) if b.getRole() == pyatspi.ROLE_PUSH_BUTTON and
                                        b.name in button_names), None),
                          "copy %s: button %s in the box %r" % (self.name, "/".join(button_names), text))
        press(button)
        wait_for(lambda: self.box(caption) is None, "copy %s: box %r closed" % (self.name, text))
        return text

    def answer_boxes(self, what, seconds=15, shot=None):
        """Answers with OK every box the copy shows, one after another, until none follows within a
        second; their texts. The first must come within seconds, unless seconds is 0: then none may
        come, and a second's wait tells."""
        texts = []
        while True:
            wait = 1 if texts or not seconds else seconds
            try:
                box = wait_for(lambda: self.box(), "copy %s: a box %s" % (self.name, what), wait)
            except Failed:
                if texts or not seconds:
                    return texts
                raise
            if shot and not texts:
                subprocess.run(["import", "-window", "root", shot])
            texts.append(self.box_text(box))
            press(wait_for(lambda: find(box, pyatspi.ROLE_PUSH_BUTTON, "OK"), "the box's OK (%r)" % texts[-1]))

            def gone():
                try:
                    return not box.getState().contains(pyatspi.STATE_SHOWING)
                except Exception:  # the box's object went with it
                    return True
            wait_for(gone, "copy %s: box %r closed" % (self.name, texts[-1]))

    # The editor.
    def editor_part(self, role, name):
        return wait_for(lambda: find(self.editor, role, name), "copy %s editor: %s" % (self.name, name))

    def open_new_record(self, title):
        click(wait_for(lambda: find(self.main, pyatspi.ROLE_PUSH_BUTTON, "新增记录"), "新增记录 button"))
        self.editor = wait_for(lambda: find(self.app, pyatspi.ROLE_DIALOG, "FormNote"),
                               "copy %s editor for a new record" % self.name)
        set_text(self.editor_part(pyatspi.ROLE_TEXT, "标题信息："), title)

    def open_record(self, key):
        """A double-click on the record's line, as a user opens a record."""
        table = self.records.queryTable()
        row = next((r for r in range(table.nRows) if table.getAccessibleAt(r, 0).name == key), None)
        require(row is not None, "copy %s lists record %s" % (self.name, key))
        x, y, w, h = table.getAccessibleAt(row, 1).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "--repeat", "2", "1"],
                       check=True)
        self.editor = wait_for(lambda: find(self.app, pyatspi.ROLE_DIALOG, "FormNote"),
                               "copy %s editor for record %s" % (self.name, key))

    def listed_paragraphs(self):
        table = self.editor_part(pyatspi.ROLE_TABLE, "段落列表").queryTable()
        return [table.getAccessibleAt(row, 0).description for row in range(table.nRows)]

    def wait_listing(self, what):
        wait_for(lambda: (self.listed_paragraphs() == self.paragraphs, self.listed_paragraphs()),
                 "copy %s paragraph grid lists %s: %s" % (self.name, what, self.paragraphs))

    def add_paragraph(self, text):
        set_text(self.editor_part(pyatspi.ROLE_TEXT, "段落内容"), text)
        press(self.editor_part(pyatspi.ROLE_PUSH_BUTTON, "新增"))
        self.paragraphs.append(text)
        self.wait_listing("its paragraph " + text)

    def choose_paragraph(self, row):
        """Makes the row current with a click, as a user would; the text box then shows it."""
        text = self.paragraphs[row]
        click(self.editor_part(pyatspi.ROLE_TABLE, "段落列表").queryTable().getAccessibleAt(row, 0))
        memo = self.editor_part(pyatspi.ROLE_TEXT, "段落内容")
        wait_for(lambda: (text_of(memo) == text, text_of(memo)), "copy %s shows paragraph %s" % (self.name, text))
        return memo

    def modify_paragraph(self, row, text):
        set_text(self.choose_paragraph(row), text)
        press(self.editor_part(pyatspi.ROLE_PUSH_BUTTON, "修改"))
        said = self.answer_box(TITLE, ("OK",), "the box after modifying paragraph %d" % (row + 1))
        check("记录修改成功" in said, "copy %s: modifying says 记录修改成功 (%r)" % (self.name, said))
        self.paragraphs[row] = text
        self.wait_listing("its modified paragraph " + text)

    def delete_paragraph(self, row):
        text = self.paragraphs[row]
        self.choose_paragraph(row)
        press(self.editor_part(pyatspi.ROLE_PUSH_BUTTON, "删除"))
        self.answer_box("删除确认", ("Yes", "是", "是(Y)"), "the delete confirmation")
        said = self.answer_box(TITLE, ("OK",), "the box after deleting " + text)
        check("记录删除成功" in said, "copy %s: deleting says 记录删除成功 (%r)" % (self.name, said))
        del self.paragraphs[row]
        self.wait_listing("without " + text)

    def close_editor(self):
        """The close box: cancel."""
        X11().close(self.window("FormNote"))
        wait_for(lambda: find(self.app, pyatspi.ROLE_DIALOG, "FormNote") is None,
                 "copy %s editor closed" % self.name)

    def close(self):
        X11().close(self.window(CAPTION))
        try:
            code = self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failed("copy %s did not end within 15 s of closing its main window" % self.name)
        check(code == 0, "copy %s ended with exit code %d" % (self.name, code))


def snapshot():
    """The demo records as stored: every Title row and every paragraph, by key."""
    titles = {int(k): rest for k, *rest in psql("SELECT TitleIndex, md5(t::text) FROM Title t ORDER BY 1")}
    paragraphs = psql("SELECT ContentIndex, ContentTitle, md5(ContentTxt) FROM Content ORDER BY 1")
    return titles, paragraphs


def pending_groups():
    """The pending paragraphs on the server: their texts under each (negative) key, in order."""
    groups = {}
    for key, text in psql("SELECT ContentTitle, ContentTxt FROM Content WHERE ContentTitle < 0 "
                          "ORDER BY ContentTitle, ContentIndex"):
        groups.setdefault(int(key), []).append(text)
    return sorted(groups.values())


def check_new_records(stored, when):
    """Each stored copy's record holds exactly the paragraphs its editor listed, in order; the cancelled
    editor (C) left nothing; no pending paragraph is left."""
    for copy in stored:
        rows = psql("SELECT TitleIndex FROM Title WHERE TitleTxt = '实例%s的新记录'" % copy.name)
        require(len(rows) == 1, "%s: one record titled 实例%s的新记录 (found %d)" % (when, copy.name, len(rows)))
        texts = [text for (text,) in psql("SELECT ContentTxt FROM Content WHERE ContentTitle = %s "
                                          "ORDER BY ContentIndex" % rows[0][0])]
        check(texts == copy.paragraphs, "%s: the record of %s holds exactly its paragraphs in order: %s"
              % (when, copy.name, texts))
    check(not psql("SELECT 1 FROM Title WHERE TitleTxt LIKE '实例C%' UNION ALL "
                   "SELECT 1 FROM Content WHERE ContentTxt LIKE '实例C%' OR ContentTitle <= 0"),
          "%s: no record or paragraph of the cancelled editor, no pending paragraph left" % when)


def restart_server():
    """Restarts the server under the copies' connections and waits until it takes new ones."""
    done = subprocess.run(["/bin/sh", "-c", os.environ["TAMRIX_PG_CTL"] + " restart"], capture_output=True,
                          text=True, timeout=60)
    require(done.returncode == 0, "the server restarts (%d: %s)" % (done.returncode, done.stderr.strip()))
    wait_for(lambda: psql("SELECT 1") == [["1"]], "the server takes connections again", 30)


def restart_mid_session(tool, server, b, c, shot):
    """The server restarts while C composes a new record and B's main window is idle. The action that
    meets the lost connection says so once, in the program's words, and changes nothing: C's editor
    keeps its title, its listed paragraphs and the text not yet added; the next action connects again
    and works, and the record is stored whole."""
    c.paragraphs = []
    c.open_new_record("重启时的新记录")
    for number in (1, 2):
        c.add_paragraph("重启前的段落%d" % number)
    typed = "重启时输入的段落3"
    set_text(c.editor_part(pyatspi.ROLE_TEXT, "段落内容"), typed)
    count = "SELECT count(*) FROM Content"
    (stored,) = psql(count)
    restart_server()

    press(c.editor_part(pyatspi.ROLE_PUSH_BUTTON, "新增"))
    said = c.answer_boxes("after adding a paragraph with the server restarted",
                          shot=shot and re.sub(r"(\.png)?$", "-restart.png", shot, 1))
    check(said == [LOST + "."], "C's add after the restart says only that the connection was lost: %r" % said)
    check(find(c.app, pyatspi.ROLE_DIALOG, "FormNote") is not None, "C's editor stays open")
    check(text_of(c.editor_part(pyatspi.ROLE_TEXT, "标题信息：")) == "重启时的新记录" and
          text_of(c.editor_part(pyatspi.ROLE_TEXT, "段落内容")) == typed,
          "C's editor keeps the typed title and the paragraph not yet added")
    c.wait_listing("the two paragraphs added before the restart")
    check(pending_groups() == [c.paragraphs] and psql(count) == [stored],
          "the failed add wrote nothing: %s" % pending_groups())

    press(c.editor_part(pyatspi.ROLE_PUSH_BUTTON, "新增"))
    c.paragraphs.append(typed)
    c.wait_listing("the paragraph added once connected again")
    press(c.editor_part(pyatspi.ROLE_PUSH_BUTTON, "确定"))
    wait_for(lambda: find(c.app, pyatspi.ROLE_DIALOG, "FormNote") is None, "copy C editor closed by OK")
    wait_for(lambda: (c.record_rows() == 23, c.record_rows()), "copy C lists 23 records")
    rows = psql("SELECT TitleIndex FROM Title WHERE TitleTxt = '重启时的新记录'")
    require(len(rows) == 1, "one record titled 重启时的新记录 (found %d)" % len(rows))
    texts = [text for (text,) in psql("SELECT ContentTxt FROM Content WHERE ContentTitle = %s "
                                      "ORDER BY ContentIndex" % rows[0][0])]
    check(texts == c.paragraphs and not pending_groups() and psql(count) == [[str(int(stored[0]) + 1)]],
          "the record stored after the restart holds its three paragraphs in order, none is left pending: %s"
          % texts)
    final = subprocess.run([tool, "check", server], capture_output=True, text=True)
    check(final.returncode == 0 and final.stdout.strip() == "ok",
          "tamrixdata-db check after the restart finds nothing wrong (%d: %s)"
          % (final.returncode, final.stdout.strip()))

    # B's main window has not used its connection since the restart: its first search may tell of the
    # lost connection, once; the next lists every record.
    for attempt in (1, 2):
        click(wait_for(lambda: find(b.main, pyatspi.ROLE_PUSH_BUTTON, "记录搜索"), "记录搜索 button"))
        search = wait_for(lambda: find(b.app, pyatspi.ROLE_DIALOG, "记录搜索"), "copy B search dialog")
        press(wait_for(lambda: find(search, pyatspi.ROLE_PUSH_BUTTON, "OK"), "the search dialog's OK"))
        said = b.answer_boxes("after searching with the server restarted", 0)
        if attempt == 1:
            check(said in ([], [LOST + "."]), "B's first search after the restart works or says only that the "
                  "connection was lost: %r" % said)
        else:
            check(said == [], "B's second search says nothing: %r" % said)
    wait_for(lambda: (b.record_rows() == 23, b.record_rows()), "copy B lists 23 records")


def run(program, tool, work, shot, copies):
    server = os.environ["TAMRIX_TEST_SERVER"]
    demo_titles, demo_paragraphs = snapshot()
    check(len(demo_titles) == 20, "20 demo records on the server")

    # As a screen reader that already runs: the accessibility bus is up before the copies start.
    pyatspi.Registry.registerEventListener(lambda event: None, "object:state-changed:focused")
    pump(0.3)
    for name in "ABC":
        copies[name] = Instance(name, program, server, work)
    a, b, c = copies["A"], copies["B"], copies["C"]
    for copy in (a, b, c):
        copy.attach()
        wait_for(lambda: (copy.record_rows() == 20, copy.record_rows()), "copy %s lists the 20 records" % copy.name)
        copy.place(*PLACES[copy.name])

    # Three editors composing at once.
    for copy in (a, b, c):
        copy.open_new_record("实例%s的新记录" % copy.name)
    for number in (1, 2, 3):
        for copy in (a, b, c):
            if copy is c and number == 3:
                continue
            copy.add_paragraph("实例%s的段落%d" % (copy.name, number))
    if shot:
        subprocess.run(["import", "-window", "root", shot])
    b.delete_paragraph(1)
    a.modify_paragraph(1, "实例A的段落2（改）")
    for copy in (a, b, c):
        copy.wait_listing("only its own paragraphs")
    groups = pending_groups()
    check(groups == sorted(copy.paragraphs for copy in (a, b, c)),
          "the server holds each editor's paragraphs under a key of its own: %s" % groups)
    note = subprocess.run([tool, "check", server], capture_output=True, text=True)
    check(note.returncode == 0 and "note: 7 pending paragraphs" in note.stdout,
          "check while composing: 7 pending paragraphs of live editors, nothing wrong (%d: %s)"
          % (note.returncode, " / ".join(note.stdout.split("\n")).strip(" /")))

    # C gives up, A and B store.
    c.close_editor()
    check(pending_groups() == sorted([a.paragraphs, b.paragraphs]),
          "closing C's editor removed C's paragraphs only: %s" % pending_groups())
    for copy, rows in ((a, 21), (b, 22)):
        press(copy.editor_part(pyatspi.ROLE_PUSH_BUTTON, "确定"))
        wait_for(lambda: find(copy.app, pyatspi.ROLE_DIALOG, "FormNote") is None, "copy %s editor closed by OK"
                 % copy.name)
        wait_for(lambda: (copy.record_rows() == rows, copy.record_rows()),
                 "copy %s lists %d records" % (copy.name, rows))
    check_new_records((a, b), "after OK")

    # Two editors on one stored record: A saves first; B's save is refused and keeps nothing of B's.
    key = a.records.queryTable().getAccessibleAt(4, 0).name
    columns = "SELECT " + ", ".join("coalesce(%s, '<null>')" % c for c in TITLE_COLUMNS) + \
        " FROM Title WHERE TitleIndex = " + key
    (before,) = psql(columns)
    for copy in (a, b):
        copy.open_record(key)
        edit = copy.editor_part(pyatspi.ROLE_TEXT, "标题信息：")
        wait_for(lambda: (text_of(edit) == before[0], text_of(edit)), "copy %s editor shows record %s"
                 % (copy.name, key))
    set_text(a.editor_part(pyatspi.ROLE_TEXT, "标题信息："), "实例A改过的标题")
    set_text(a.editor_part(pyatspi.ROLE_TEXT, "★字段一："), "实例A的分类")
    set_text(b.editor_part(pyatspi.ROLE_TEXT, "标题信息："), "实例B改过的标题")
    set_text(b.editor_part(pyatspi.ROLE_TEXT, "★字段二："), "实例B的分类")
    press(a.editor_part(pyatspi.ROLE_PUSH_BUTTON, "确定"))
    said = a.answer_box(TITLE, ("OK",), "the box after saving first")
    check("记录修改成功" in said, "A's save says 记录修改成功 (%r)" % said)
    wait_for(lambda: find(a.app, pyatspi.ROLE_DIALOG, "FormNote") is None, "copy A editor closed by OK")
    press(b.editor_part(pyatspi.ROLE_PUSH_BUTTON, "确定"))
    said = b.answer_box(TITLE, ("OK",), "the error box after saving second")
    check(UPDATE_CONFLICT in said, "B's save is refused: %r" % said)
    check(find(b.app, pyatspi.ROLE_DIALOG, "FormNote") is not None, "B's editor stays open after the refusal")
    b.close_editor()
    expected = ["实例A改过的标题", "实例A的分类"] + before[2:]
    (after,) = psql(columns)
    check(after == expected, "record %s holds A's save and nothing of B's: %s" % (key, after))

    restart_mid_session(tool, server, b, c, shot)

    for copy in (a, b, c):
        copy.close()
    copies.clear()

    check_new_records((a, b), "at the end")
    titles, paragraphs = snapshot()
    check(paragraphs[:len(demo_paragraphs)] == demo_paragraphs, "the demo records' paragraphs are untouched")
    untouched = {k: v for k, v in titles.items() if k in demo_titles and k != int(key)}
    del demo_titles[int(key)]
    check(untouched == demo_titles, "the other demo records are untouched")
    final = subprocess.run([tool, "check", server], capture_output=True, text=True)
    check(final.returncode == 0 and final.stdout.strip() == "ok",
          "tamrixdata-db check finds nothing wrong (%d: %s)" % (final.returncode, final.stdout.strip()))


def main():
    program, tool, work = sys.argv[1:4]
    shot = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
    copies = {}
    try:
        run(program, tool, work, shot, copies)
        return 0
    except Failed as failure:
        print("FAIL " + str(failure), flush=True)
        return 1
    except Exception as error:  # an AT-SPI call that went wrong: a copy hung or crashed
        print("FAIL %s: %s" % (type(error).__name__, error), flush=True)
        return 1
    finally:
        for copy in copies.values():
            if copy.process.poll() is None:
                copy.process.kill()
                copy.process.wait()


if __name__ == "__main__":
    sys.exit(main())
