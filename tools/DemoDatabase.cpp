// Database creation and the demo record generator.
//
// A new database is always built in a temporary file beside the target and renamed into place when
// it is complete, so a failed or interrupted run never leaves a half-filled file under the target
// name (nor the temporary file itself), and an existing file is only replaced by a whole new one. The generator draws
// everything from its own splitmix64 stream, so the same seed gives the same bytes on every machine and with every
// library version.

#include "DemoDatabase.h"

#include "DatabaseFailure.h"

#include "SchemaText.h"
#include "SqliteHandles.h"
#include "TemporarySibling.h"

#include <array>
#include <span>
#include <string_view>

namespace {

using Words = std::span<const std::string_view>;

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
    if (!overwrite && PathExists(path))
        throw FileExistsError(path + " already exists");
    TemporarySibling temporary(path);
    {
        Connection connection(temporary.Path(), SQLITE_OPEN_READWRITE);
        ExplainFailures(connection, path, "cannot create " + path, [&] {
            connection.Exec(SchemaSql().c_str());
            fill(connection);
            connection.Close();
        });
    }
    temporary.MoveIntoPlace(overwrite);
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
