#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

namespace {

constexpr char16_t kEscapedByteBase = 0xDC00;

// Length of the well-formed UTF-8 sequence at text[at], or 0 when there is none.
std::size_t Utf8SequenceAt(const unsigned char* text, std::size_t size, std::size_t at, char32_t& code) {
    const unsigned char lead = text[at];
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (size - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[at + i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (text[at + i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8: they stay bytes, so
    // that no two byte strings decode to the same text.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

QString DecodeArgument(const char* argument) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(argument);
    const std::size_t size = std::char_traits<char>::length(argument);
    QString text;
    text.reserve(static_cast<qsizetype>(size));
    for (std::size_t at = 0; at < size;) {
        char32_t code = 0;
        const std::size_t length = Utf8SequenceAt(bytes, size, at, code);
        if (length == 0) {
            text += QChar(static_cast<char16_t>(kEscapedByteBase + bytes[at]));
            ++at;
            continue;
        }
        if (code >= 0x10000) {
            text += QChar(QChar::highSurrogate(code));
            text += QChar(QChar::lowSurrogate(code));
        } else {
            text += QChar(static_cast<char16_t>(code));
        }
        at += length;
    }
    return text;
}

bool IsEscapedByte(char16_t unit, const QString& text, qsizetype i) {
    if (unit < kEscapedByteBase + 0x80 || unit > kEscapedByteBase + 0xFF)
        return false;
    // A low surrogate after a high one is half of a real character.
    return i == 0 || !QChar::isHighSurrogate(text[i - 1].unicode());
}

} // namespace

QStringList ArgumentsOf(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << DecodeArgument(argv[i]);
    return arguments;
}

std::string ArgumentBytes(const QString& argument) {
    std::string bytes;
    qsizetype runStart = 0;
    auto flush = [&](qsizetype end) {
        if (end > runStart)
            bytes += argument.mid(runStart, end - runStart).toStdString();
    };
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const char16_t unit = argument[i].unicode();
        if (!IsEscapedByte(unit, argument, i))
            continue;
        flush(i);
        bytes += static_cast<char>(unit - kEscapedByteBase);
        runStart = i + 1;
    }
    flush(argument.size());
    return bytes;
}

std::string ArgumentText(const QString& argument) {
    QString shown = argument;
    for (qsizetype i = 0; i < shown.size(); ++i)
        if (IsEscapedByte(shown[i].unicode(), argument, i))
            shown[i] = QChar::ReplacementCharacter;
    return shown.toStdString();
}

CommandLine::CommandLine(const char* command, const char* synopsis, const char* description, ExitCodes exitCodes)
    : m_command(command), m_synopsis(synopsis), m_description(description), m_exitCodes(std::move(exitCodes)) {
    m_parser.setApplicationDescription(QString::fromUtf8(description));
    m_parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
}

QString CommandLine::HelpText() const {
    QString text =
        QStringLiteral("usage: kestrel-tool %1 %2\n\n%3\n")
            .arg(QString::fromUtf8(m_command), QString::fromUtf8(m_synopsis), QString::fromUtf8(m_description));
    // Qt's own text without its first lines ("Usage: ..." and the description): the options.
    const QString qtHelp = m_parser.helpText();
    const qsizetype options = qtHelp.indexOf(QStringLiteral("\nOptions:\n"));
    if (options >= 0)
        text += qtHelp.mid(options);
    text += QStringLiteral("\nExit codes:\n");
    for (const auto& [code, meaning] : m_exitCodes)
        text += QStringLiteral("  %1  %2\n").arg(code, 3).arg(QString::fromUtf8(meaning));
    return text;
}

int CommandLine::UsageError(const QString& message) const {
    std::fprintf(stderr,
                 "kestrel-tool %s: %s\nusage: kestrel-tool %s %s\n"
                 "Try 'kestrel-tool %s --help'.\n",
                 m_command, message.toUtf8().constData(), m_command, m_synopsis, m_command);
    return kExitUsage;
}

int CommandLine::Parse(const QStringList& args, int minPositional, int maxPositional) {
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and the exit codes."));
    m_parser.addOption(help);
    if (!m_parser.parse(QStringList{QStringLiteral("kestrel-tool")} + args))
        return UsageError(m_parser.errorText());
    if (m_parser.isSet(help)) {
        const QByteArray text = HelpText().toUtf8();
        std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
        return 0;
    }
    const qsizetype count = m_parser.positionalArguments().size();
    if (count < minPositional)
        return UsageError(QStringLiteral("missing argument"));
    if (count > maxPositional)
        return UsageError(
            QStringLiteral("unexpected argument: %1").arg(m_parser.positionalArguments().value(maxPositional)));
    return -1;
}

} // namespace kestrel::tool
