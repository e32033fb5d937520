#include "tool/ResultsFile.h"

#include "core/AtomicFile.h"
#include "core/Gbk.h"
#include "testing/batch/BatchReport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include <cstdio>

namespace kestrel::tool {

namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string S(const QJsonValue& value) {
    return value.toString().toStdString();
}

std::optional<Verdict> VerdictOfWord(const std::string& word) {
    for (const Verdict v : {Verdict::kPassed, Verdict::kFailed, Verdict::kError, Verdict::kNotRun})
        if (word == VerdictWord(v))
            return v;
    return std::nullopt;
}

QJsonObject ResultObject(const std::string& file, const std::string& group, const ModuleResult& r) {
    QJsonArray rows;
    for (const ErrorRow& row : r.rows)
        rows.append(QJsonObject{{QStringLiteral("code"), row.code},
                                {QStringLiteral("codeText"), Q(ForeignTextToUtf8(row.codeText))},
                                {QStringLiteral("message"), Q(ForeignTextToUtf8(row.message))}});
    return QJsonObject{{QStringLiteral("file"), Q(file)},
                       {QStringLiteral("group"), Q(group)},
                       {QStringLiteral("verdict"), QString::fromLatin1(VerdictWord(r.verdict))},
                       {QStringLiteral("code"), r.code},
                       {QStringLiteral("message"), Q(ForeignTextToUtf8(r.message))},
                       {QStringLiteral("rows"), rows},
                       {QStringLiteral("rowsCut"), r.rowsCut},
                       {QStringLiteral("seconds"), r.seconds},
                       {QStringLiteral("stdout"), Q(ForeignTextToUtf8(r.output))},
                       {QStringLiteral("stderr"), Q(ForeignTextToUtf8(r.errorOutput))}};
}

ModuleResult ResultOfObject(const QJsonObject& o) {
    ModuleResult r;
    r.verdict = VerdictOfWord(S(o[QStringLiteral("verdict")])).value_or(Verdict::kNotRun);
    r.code = o[QStringLiteral("code")].toInt(-1);
    r.message = S(o[QStringLiteral("message")]);
    for (const QJsonValue& value : o[QStringLiteral("rows")].toArray()) {
        const QJsonObject row = value.toObject();
        r.rows.push_back({row[QStringLiteral("code")].toInt(-1), S(row[QStringLiteral("codeText")]),
                          S(row[QStringLiteral("message")])});
    }
    r.rowsCut = o[QStringLiteral("rowsCut")].toBool();
    r.seconds = o[QStringLiteral("seconds")].toDouble();
    r.output = S(o[QStringLiteral("stdout")]);
    r.errorOutput = S(o[QStringLiteral("stderr")]);
    return r;
}

// RFC 4180 records: quoted fields may hold commas, quotes and line breaks.
std::vector<std::vector<std::string>> CsvRecords(const std::string& text) {
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    bool any = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
            continue;
        }
        any = true;
        if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().push_back(std::move(field));
            field.clear();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            records.back().push_back(std::move(field));
            field.clear();
            records.emplace_back();
            any = false;
        } else {
            field += c;
        }
    }
    if (any)
        records.back().push_back(std::move(field));
    if (records.back().empty())
        records.pop_back();
    return records;
}

Result<std::vector<EarlierResult>, std::string> FromCsv(const std::string& text, const std::string& shown) {
    const auto records = CsvRecords(text);
    if (records.empty() || records.front().size() < 6 || records.front()[0] != "file" ||
        records.front()[2] != "result" || records.front()[5] != "seconds")
        return Fail(shown + ": neither a results file, a JUnit nor a CSV report of check");
    std::vector<EarlierResult> found;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const auto& record = records[i];
        const std::optional<Verdict> verdict = record.size() >= 6 ? VerdictOfWord(record[2]) : std::nullopt;
        if (!verdict)
            return Fail(shown + ": line " + std::to_string(i + 1) + " is no result of check");
        found.push_back({record[0], *verdict, std::strtod(record[5].c_str(), nullptr)});
    }
    return found;
}

Result<std::vector<EarlierResult>, std::string> FromJUnit(const std::string& text, const std::string& shown) {
    QXmlStreamReader xml(QByteArray::fromStdString(text));
    std::vector<EarlierResult> found;
    bool inCase = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = xml.name();
            if (name == QLatin1String("testcase")) {
                EarlierResult result;
                result.file = xml.attributes().value(QLatin1String("name")).toString().toStdString();
                result.verdict = Verdict::kPassed;
                result.seconds = xml.attributes().value(QLatin1String("time")).toDouble();
                found.push_back(std::move(result));
                inCase = true;
            } else if (inCase && name == QLatin1String("failure")) {
                found.back().verdict = Verdict::kFailed;
            } else if (inCase && name == QLatin1String("error")) {
                found.back().verdict = Verdict::kError;
            } else if (inCase && name == QLatin1String("skipped")) {
                found.back().verdict = Verdict::kNotRun;
            }
        } else if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("testcase")) {
            inCase = false;
        }
    }
    if (xml.hasError())
        return Fail(shown + ": not a JUnit report (" + xml.errorString().toStdString() + ")");
    return found;
}

} // namespace

std::string Sha256Hex(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string ResultsJson(const ResultsFile& file) {
    QJsonArray groups;
    for (const BatchGroup& group : file.groups)
        groups.append(QJsonObject{{QStringLiteral("id"), Q(group.groupId)}, {QStringLiteral("name"), Q(group.name)}});
    QJsonArray plan;
    for (const PlannedModule& module : file.plan) {
        QJsonObject entry{{QStringLiteral("file"), Q(module.file)},
                          {QStringLiteral("group"), Q(file.groups[module.groupIndex].groupId)},
                          {QStringLiteral("sha256"), module.sha256.empty() ? QJsonValue() : Q(module.sha256)}};
        if (module.shard > 0)
            entry.insert(QStringLiteral("shard"), module.shard);
        plan.append(entry);
    }
    QJsonArray results;
    BatchCounts counts;
    for (std::size_t i = 0; i < file.checked.size(); ++i) {
        const PlannedModule& module = file.plan[file.checked[i]];
        results.append(ResultObject(module.file, file.groups[module.groupIndex].groupId, file.results[i]));
        counts.Add(file.results[i]);
    }
    QJsonObject root{
        {QStringLiteral("format"), QString::fromLatin1(kResultsFormat)},
        {QStringLiteral("version"), kResultsVersion},
        {QStringLiteral("tool"), QJsonObject{{QStringLiteral("name"), QStringLiteral("kestrel-tool")},
                                             {QStringLiteral("version"), Q(file.toolVersion)}}},
        {QStringLiteral("catalogue"), QJsonObject{{QStringLiteral("path"), Q(ForeignTextToUtf8(file.cataloguePath))},
                                                  {QStringLiteral("name"), Q(ForeignTextToUtf8(file.catalogueName))},
                                                  {QStringLiteral("sha256"), Q(file.catalogueSha256)}}},
        {QStringLiteral("groups"), groups},
        {QStringLiteral("plan"), plan},
        {QStringLiteral("shard"), file.shard ? QJsonValue(QJsonObject{{QStringLiteral("index"), file.shard->index},
                                                                      {QStringLiteral("count"), file.shard->count},
                                                                      {QStringLiteral("split"), Q(file.split)}})
                                             : QJsonValue()},
        {QStringLiteral("counts"), QJsonObject{{QStringLiteral("passed"), counts.passed},
                                               {QStringLiteral("failed"), counts.failed},
                                               {QStringLiteral("errors"), counts.errors},
                                               {QStringLiteral("notRun"), counts.notRun},
                                               {QStringLiteral("seconds"), counts.seconds}}},
        {QStringLiteral("results"), results},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

Result<ResultsFile, std::string> ParseResultsJson(const std::string& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &error);
    if (document.isNull())
        return Fail("not JSON (" + error.errorString().toStdString() + " at byte " + std::to_string(error.offset) +
                    ")");
    const QJsonObject root = document.object();
    if (root[QStringLiteral("format")].toString() != QLatin1String(kResultsFormat))
        return Fail(std::string("not a results file of check (no \"format\": \"") + kResultsFormat + "\")");
    if (root[QStringLiteral("version")].toInt() != kResultsVersion)
        return Fail("results file version " + std::to_string(root[QStringLiteral("version")].toInt()) +
                    ", this tool reads version " + std::to_string(kResultsVersion));
    ResultsFile file;
    file.toolVersion = S(root[QStringLiteral("tool")].toObject()[QStringLiteral("version")]);
    const QJsonObject catalogue = root[QStringLiteral("catalogue")].toObject();
    file.cataloguePath = S(catalogue[QStringLiteral("path")]);
    file.catalogueName = S(catalogue[QStringLiteral("name")]);
    file.catalogueSha256 = S(catalogue[QStringLiteral("sha256")]);
    for (const QJsonValue& value : root[QStringLiteral("groups")].toArray())
        file.groups.push_back({S(value.toObject()[QStringLiteral("id")]), S(value.toObject()[QStringLiteral("name")])});
    std::map<std::string, std::size_t> groupIndex;
    for (std::size_t g = 0; g < file.groups.size(); ++g)
        groupIndex.emplace(file.groups[g].groupId, g);
    std::map<std::string, std::size_t> planIndex;
    for (const QJsonValue& value : root[QStringLiteral("plan")].toArray()) {
        const QJsonObject entry = value.toObject();
        PlannedModule module;
        module.file = S(entry[QStringLiteral("file")]);
        const auto group = groupIndex.find(S(entry[QStringLiteral("group")]));
        if (group == groupIndex.end())
            return Fail(module.file + ": its group is not among the file's groups");
        module.groupIndex = group->second;
        module.sha256 = S(entry[QStringLiteral("sha256")]);
        module.shard = entry[QStringLiteral("shard")].toInt(0);
        if (!planIndex.emplace(module.file, file.plan.size()).second)
            return Fail(module.file + ": planned twice");
        file.plan.push_back(std::move(module));
    }
    if (const QJsonValue shard = root[QStringLiteral("shard")]; shard.isObject()) {
        file.shard = ShardSpec{shard[QStringLiteral("index")].toInt(), shard[QStringLiteral("count")].toInt()};
        file.split = S(shard[QStringLiteral("split")]);
        if (file.shard->count < 1 || file.shard->index < 1 || file.shard->index > file.shard->count)
            return Fail("shard " + std::to_string(file.shard->index) + "/" + std::to_string(file.shard->count) +
                        " is no part of a run");
    }
    for (const QJsonValue& value : root[QStringLiteral("results")].toArray()) {
        const QJsonObject entry = value.toObject();
        const std::string name = S(entry[QStringLiteral("file")]);
        const auto planned = planIndex.find(name);
        if (planned == planIndex.end())
            return Fail(name + ": a result for a module that is not in the plan");
        file.checked.push_back(planned->second);
        file.results.push_back(ResultOfObject(entry));
    }
    return file;
}

Result<std::vector<EarlierResult>, std::string> ReadEarlierResults(const std::filesystem::path& path,
                                                                   const std::string& shown) {
    std::string bytes;
    if (const FileStatus read = ReadWholeFile(path, bytes, std::uint64_t{1} << 31); !read)
        return Fail(shown + ": " + GbkToUtf8(read.error().message));
    const std::size_t first = bytes.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (first == std::string::npos)
        return Fail(shown + ": empty, neither a results file, a JUnit nor a CSV report of check");
    if (bytes[first] == '{') {
        auto parsed = ParseResultsJson(bytes);
        if (!parsed)
            return Fail(shown + ": " + parsed.error());
        std::vector<EarlierResult> found;
        for (std::size_t i = 0; i < parsed.value().checked.size(); ++i)
            found.push_back({parsed.value().plan[parsed.value().checked[i]].file, parsed.value().results[i].verdict,
                             parsed.value().results[i].seconds});
        return found;
    }
    if (bytes[first] == '<')
        return FromJUnit(bytes, shown);
    return FromCsv(bytes.substr(first), shown);
}

} // namespace kestrel::tool
