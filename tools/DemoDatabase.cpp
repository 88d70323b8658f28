// Database creation and the demo record generator.
//
// A new database is always built in a temporary file beside the target and renamed into place when
// it is complete, so a failed or interrupted run never leaves a half-filled file under the target
// name, and an existing file is only replaced by a whole new one. The generator draws everything
// from its own splitmix64 stream, so the same seed gives the same bytes on every machine and with
// every library version.

#include "DemoDatabase.h"

#include "SchemaText.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Words = std::span<const std::string_view>;

// ---- SQLite handles --------------------------------------------------------------------------

[[noreturn]] void ThrowSqlite(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

class Connection {
public:
    Connection(const std::string& path, int flags) {
        if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK)
            ThrowSqlite(m_db, "cannot open " + path);
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~Connection() { sqlite3_close_v2(m_db); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Exec(const char* sql) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            ThrowSqlite(m_db, std::string("cannot run \"") + sql + "\"");
    }
    // Closes now so that errors of the close itself (unfinished statements) are reported.
    void Close() {
        if (sqlite3_close(m_db) != SQLITE_OK)
            ThrowSqlite(m_db, "cannot close the database");
        m_db = nullptr;
    }
    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

class Statement {
public:
    Statement(Connection& connection, const char* sql) : m_db(connection.Handle()) {
        if (sqlite3_prepare_v2(m_db, sql, -1, &m_statement, nullptr) != SQLITE_OK)
            ThrowSqlite(m_db, std::string("cannot prepare \"") + sql + "\"");
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void BindText(int index, const std::string& text) {
        if (sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK)
            ThrowSqlite(m_db, "cannot bind a value");
    }
    void BindInt64(int index, sqlite3_int64 value) {
        if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
            ThrowSqlite(m_db, "cannot bind a value");
    }
    void Run() {
        if (sqlite3_step(m_statement) != SQLITE_DONE)
            ThrowSqlite(m_db, "cannot insert a row");
        sqlite3_reset(m_statement);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

// Rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Connection& connection) : m_connection(connection) { m_connection.Exec("BEGIN"); }
    ~Transaction() {
        if (!m_committed)
            sqlite3_exec(m_connection.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        m_connection.Exec("COMMIT");
        m_committed = true;
    }

private:
    Connection& m_connection;
    bool m_committed = false;
};

// ---- the temporary file and its move into place ----------------------------------------------

std::string ErrnoText() {
    return std::strerror(errno);
}

void RemoveQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// A database file left behind by a crash may have a hot journal beside it; SQLite would play that
// journal back into whatever file takes the name next, so stale companions go with the old file.
void RemoveCompanions(const std::string& path) {
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        RemoveQuietly(path + suffix);
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

// Creates a new, empty file beside path (SQLite takes a zero-length file as an empty database),
// with the permissions an ordinary new file gets.
std::string CreateTemporarySibling(const std::string& path) {
    for (int attempt = 0;; ++attempt) {
        std::string candidate =
            path + ".tmp-" + std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(attempt);
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST || attempt >= 100)
            throw std::runtime_error("cannot create a file beside " + path + ": " + ErrnoText());
    }
}

void MoveIntoPlace(const std::string& temporary, const std::string& path, bool overwrite) {
    if (!overwrite) {
        if (Exists(path))
            throw FileExistsError(path + " already exists");
        RemoveCompanions(path);
        // Refuse atomically where the file system can, so a file created meanwhile is never replaced.
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
            return;
        if (errno == EEXIST)
            throw FileExistsError(path + " already exists");
        if (errno != EINVAL && errno != ENOSYS)
            throw std::runtime_error("cannot create " + path + ": " + ErrnoText());
    } else {
        RemoveCompanions(path);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot create " + path + ": " + ErrnoText());
}

// ---- the generator -----------------------------------------------------------------------------

class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }
    int Between(int low, int high) { return low + Below(high - low + 1); }
    bool Chance(int percent) { return Below(100) < percent; }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    std::string_view Pick(Words words) {
        return words[static_cast<std::size_t>(Below(static_cast<int>(words.size())))];
    }

private:
    std::uint64_t m_state;
};

// Every text here is made of BMP characters, so counting lead bytes counts characters.
int Characters(std::string_view text) {
    int count = 0;
    for (unsigned char byte : text)
        count += (byte & 0xC0) != 0x80;
    return count;
}

constexpr std::string_view Topics[] = {"项目进度", "合同条款", "预算方案", "会议纪要", "季度计划",
                                       "测试报告", "采购清单", "培训资料", "装修方案", "体检结果",
                                       "读书笔记", "旅行路线", "客户需求", "年终总结", "房租账单",
                                       "孩子功课", "网站改版", "设备维修", "招聘安排", "数据备份"};
constexpr std::string_view Joiners[] = {"与", "和", "及"};
constexpr std::string_view TitlePeriods[] = {"本周", "下周", "今年",       "年底前",
                                             "近期", "上月", "二零二四年", "第三季度"};
constexpr std::string_view TitlePrefixes[] = {"关于", "有关", "第二次", "再议"};
constexpr std::string_view TitlePlaces[] = {"总部", "上海办公室", "北京分公司", "家里",
                                            "仓库", "实验室",     "工地",       "门店"};
constexpr std::string_view TitleQualifiers[] = {"中的问题", "的调整", "的准备工作", "相关事项", "的落实情况", "变更"};
constexpr std::string_view TitleSuffixes[] = {"的讨论记录", "整理笔记", "会议纪要", "注意事项", "安排", "备忘",
                                              "心得体会",   "检查结果", "问题汇总", "计划草案", "要点", "跟进情况"};

std::string MakeTitleCandidate(Random& random) {
    std::string title;
    if (random.Chance(50))
        title += random.Pick(TitlePeriods);
    if (random.Chance(50))
        title += random.Pick(TitlePrefixes);
    if (random.Chance(50))
        title += random.Pick(TitlePlaces);
    std::string_view topic = random.Pick(Topics);
    title += topic;
    if (random.Chance(50)) {
        std::string_view first = topic;
        while (topic == first)
            topic = random.Pick(Topics);
        title += random.Pick(Joiners);
        title += topic;
    }
    if (random.Chance(50))
        title += random.Pick(TitleQualifiers);
    title += random.Pick(TitleSuffixes);
    return title;
}

// Titles spread over the whole allowed length: of a few candidates the one nearest a drawn length
// is taken, so short and long titles both occur without cutting words.
std::string MakeTitle(Random& random) {
    int target = random.Between(MinTitleChars + 4, MaxTitleChars);
    std::string best;
    int bestDistance = MaxTitleChars + 1;
    for (int attempt = 0; attempt < 12 || best.empty(); ++attempt) {
        std::string candidate = MakeTitleCandidate(random);
        int length = Characters(candidate);
        int distance = length > target ? length - target : target - length;
        if (length >= MinTitleChars && length <= MaxTitleChars && distance < bestDistance) {
            best = std::move(candidate);
            bestDistance = distance;
        }
    }
    return best;
}

// The classification fields: small vocabularies, so that one value selects a fraction of the list.
// The first four are nearly always filled, the last four about half the time.
constexpr std::string_view Categories[] = {"工作", "生活", "学习", "财务", "健康",
                                           "旅行", "家庭", "技术", "读书", "杂项"};
constexpr std::string_view Cities[] = {"北京", "上海", "广州", "深圳", "杭州",   "成都",
                                       "武汉", "南京", "西安", "重庆", "哈尔滨", "乌鲁木齐"};
constexpr std::string_view People[] = {"张经理",   "李老师", "王医生", "刘会计", "陈主任",
                                       "赵工程师", "孙律师", "周同学", "吴师傅"};
constexpr std::string_view States[] = {"待办", "进行中", "已完成", "已取消", "暂时搁置", "等待回复"};
constexpr std::string_view Priorities[] = {"紧急", "非常重要", "一般", "优先级低", "可选"};
constexpr std::string_view Periods[] = {"第一季度", "第二季度", "第三季度", "第四季度", "上半年", "下半年"};
constexpr std::string_view Projects[] = {"年度预算", "新品发布", "系统升级", "市场调研",
                                         "员工培训", "办公搬迁", "客户回访"};
constexpr std::string_view Tags[] = {"备忘", "参考", "草稿", "存档", "私密", "共享"};

struct Classification {
    int emptyPercent;
    Words values;
};
constexpr std::array<Classification, 8> Classifications = {{
    {5, Categories},
    {5, Cities},
    {10, People},
    {5, States},
    {50, Priorities},
    {50, Periods},
    {50, Projects},
    {50, Tags},
}};

constexpr std::string_view Times[] = {"今天上午", "昨天下午", "本周一", "上个月",   "会后",
                                      "晚上",     "月底前",   "周末",   "早上八点", "中午"};
constexpr std::string_view Subjects[] = {"我们", "小组", "客户",     "张经理", "财务部",
                                         "对方", "大家", "技术部门", "供应商", "老师"};
constexpr std::string_view Verbs[] = {"讨论了",     "确认了", "整理了", "提交了", "检查了",
                                      "重新安排了", "补充了", "修改了", "汇总了", "跟进了"};
constexpr std::string_view Connectors[] = {"同时", "另外", "因此", "但是", "随后", "此外", "总体来看"};
constexpr std::string_view Comments[] = {"需要进一步核实", "问题不大",       "还需要再商量", "基本符合预期",
                                         "下次会议再定",   "要提前准备材料", "暂时没有结论", "细节还要完善"};

std::string MakeSentence(Random& random) {
    std::string s;
    switch (random.Below(6)) {
    case 0:
        s.append(random.Pick(Times)).append("，").append(random.Pick(Subjects)).append(random.Pick(Verbs));
        s.append(random.Pick(Topics));
        break;
    case 1:
        s.append(random.Pick(Subjects)).append(random.Pick(Verbs)).append(random.Pick(Topics)).append("，");
        s.append(random.Pick(Comments));
        break;
    case 2:
        s.append(random.Pick(Connectors)).append("，").append(random.Pick(Subjects)).append(random.Pick(Verbs));
        s.append(random.Pick(Topics)).append("、").append(random.Pick(Topics)).append("和");
        s.append(random.Pick(Topics));
        break;
    case 3:
        s.append("关于").append(random.Pick(Topics)).append("，").append(random.Pick(Subjects)).append("认为");
        s.append(random.Pick(Comments));
        break;
    case 4:
        s.append(random.Pick(Topics)).append("是否").append(random.Pick(Comments));
        return s.append("？");
    default:
        s.append(random.Pick(Times)).append(random.Pick(Subjects)).append("又").append(random.Pick(Verbs));
        s.append(random.Pick(Topics)).append("，").append(random.Pick(Comments));
        break;
    }
    int ending = random.Below(20);
    return s.append(ending < 15 ? "。" : ending < 19 ? "；" : "！");
}

// Paragraph lengths lean towards short notes (median near 300 characters) but reach the maximum.
std::string MakeParagraph(Random& random) {
    double u = random.Unit();
    int target = MinParagraphChars + static_cast<int>((MaxParagraphChars - MinParagraphChars) * u * u * u);
    int lineTarget = random.Between(60, 300);
    std::string text;
    int length = 0;
    int lineLength = 0;
    while (length < target) {
        std::string sentence = MakeSentence(random);
        int sentenceLength = Characters(sentence);
        bool breakLine = lineLength >= lineTarget;
        int added = sentenceLength + (breakLine ? 2 : 0);
        // A sentence is at most a few dozen characters, so stopping here still leaves the minimum.
        if (length + added > MaxParagraphChars)
            break;
        if (breakLine) {
            text += "\r\n";
            lineLength = 0;
            lineTarget = random.Between(60, 300);
        }
        text += sentence;
        length += added;
        lineLength += sentenceLength;
    }
    return text;
}

void ValidateDemoArguments(int count, const DemoOptions& options) {
    if (count < 0)
        throw std::invalid_argument("the number of records must not be negative");
    if (options.maxParagraphs < 0 || options.maxParagraphs > MaxDemoParagraphs)
        throw std::invalid_argument("the paragraphs per record must be between 0 and " +
                                    std::to_string(MaxDemoParagraphs));
}

void FillOpenDatabase(Connection& connection, int count, const DemoOptions& options) {
    // Only this connection's own durability is relaxed; a crash mid-way leaves no committed records.
    connection.Exec("PRAGMA synchronous=OFF");
    Transaction transaction(connection);
    Statement insertTitle(connection, "INSERT INTO Title (TitleTxt, Title1, Title2, Title3, Title4, Title5, "
                                      "Title6, Title7, Title8) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    Statement insertContent(connection, "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (?, ?)");
    Random random(options.seed);
    for (int record = 0; record < count; ++record) {
        insertTitle.BindText(1, MakeTitle(random));
        for (int field = 0; field < 8; ++field) {
            const Classification& classification = Classifications[static_cast<std::size_t>(field)];
            // The program itself stores an emptied field as the empty text, not NULL.
            std::string value;
            if (!random.Chance(classification.emptyPercent))
                value = random.Pick(classification.values);
            insertTitle.BindText(field + 2, value);
        }
        insertTitle.Run();
        sqlite3_int64 titleIndex = sqlite3_last_insert_rowid(connection.Handle());
        int paragraphs = random.Between(0, options.maxParagraphs);
        for (int paragraph = 0; paragraph < paragraphs; ++paragraph) {
            insertContent.BindInt64(1, titleIndex);
            insertContent.BindText(2, MakeParagraph(random));
            insertContent.Run();
        }
    }
    transaction.Commit();
}

template <typename Fill> void BuildDatabase(const std::string& path, bool overwrite, Fill fill) {
    if (path.empty())
        throw std::invalid_argument("no database file given");
    if (!overwrite && Exists(path))
        throw FileExistsError(path + " already exists");
    std::string temporary = CreateTemporarySibling(path);
    try {
        Connection connection(temporary, SQLITE_OPEN_READWRITE);
        connection.Exec(SchemaSql().c_str());
        fill(connection);
        connection.Close();
        MoveIntoPlace(temporary, path, overwrite);
    } catch (...) {
        RemoveQuietly(temporary);
        RemoveCompanions(temporary);
        throw;
    }
}

} // namespace

const std::string& SchemaSql() {
    static const std::string schema(SchemaText);
    return schema;
}

void CreateEmptyDatabase(const std::string& path, bool overwrite) {
    BuildDatabase(path, overwrite, [](Connection&) {});
}

void FillDemoRecords(const std::string& path, int count, const DemoOptions& options) {
    ValidateDemoArguments(count, options);
    Connection connection(path, SQLITE_OPEN_READWRITE);
    FillOpenDatabase(connection, count, options);
    connection.Close();
}

void CreateDemoDatabase(const std::string& path, int count, const DemoOptions& options, bool overwrite) {
    ValidateDemoArguments(count, options);
    BuildDatabase(path, overwrite, [&](Connection& connection) { FillOpenDatabase(connection, count, options); });
}
