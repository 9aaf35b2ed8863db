#include "gui/messages.h"

#include <QCoreApplication>

#include "gui/strings.h"
#include "shared/packet/records.h"

namespace gui {

QString Fill(const QString& text, const QStringList& args)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('%') && i + 1 < text.size()) {
            const int n = text[i + 1].digitValue();
            if (n >= 1 && n <= args.size()) {
                out += args[n - 1];
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString Sentence(const char* source, const QStringList& args)
{
    return Fill(QCoreApplication::translate("Morvane", source), args);
}

QString Sentence(SentenceSource source, const QStringList& args)
{
    return Fill(QCoreApplication::translate("Morvane", source.text, source.disambiguation), args);
}

QString ProtocolName(uint8_t type)
{
    return type != kProtocolTcp ? QStringLiteral("UDP") : QStringLiteral("TCP");
}

namespace lines {

namespace {

QStringList PortArgs(uint16_t port, uint8_t type, const QString& reason = {})
{
    QStringList args{QString::number(port), ProtocolName(type)};
    if (!reason.isEmpty())
        args << reason;
    return args;
}

}  // namespace

QString DomainRequest(const QString& domain, bool on)
{
    return on ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "请求域名操作请等待...", "switching on"), {domain})
              : Sentence(QT_TRANSLATE_NOOP3("Morvane", "请求域名操作请等待...", "switching off"), {domain});
}

QString DomainResult(const QString& domain, bool on, bool ok)
{
    if (ok)
        return on ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作成功", "switched on"), {domain})
                  : Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作成功", "switched off"), {domain});
    return on ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作失败", "switching on failed"), {domain})
              : Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作失败", "switching off failed"), {domain});
}

QString DomainNoAnswer(const QString& domain, bool on)
{
    const QString why = Text(IDS_NO_ANSWER);
    return on ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作失败(%2)", "switching on failed"), {domain, why})
              : Sentence(QT_TRANSLATE_NOOP3("Morvane", "域名操作失败(%2)", "switching off failed"), {domain, why});
}

QString ListRequest()
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "请求更新域名列表"));
}

QString ListResult(bool ok)
{
    return ok ? Sentence(QT_TRANSLATE_NOOP("Morvane", "更新域名列表成功"))
              : Sentence(QT_TRANSLATE_NOOP("Morvane", "更新域名列表失败"));
}

QString ListNoAnswer()
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "更新域名列表失败(%1)"), {Text(IDS_NO_ANSWER)});
}

QString PortRequest(uint16_t port, uint8_t type, uint8_t op, bool removed)
{
    const QStringList args = PortArgs(port, type);
    if (op == 1)
        return Sentence(QT_TRANSLATE_NOOP3("Morvane", "请求-%1(%2)-端口映射请等待...", "mapping"), args);
    if (op == 0 && removed)
        return Sentence(QT_TRANSLATE_NOOP3("Morvane", "请求-%1(%2)-删除端口映射请等待...", "removing"), args);
    if (op == 0)
        return Sentence(QT_TRANSLATE_NOOP3("Morvane", "请求-%1(%2)-删除端口映射请等待...", "unmapping"), args);
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "请求-%1(%2)-请等待..."), args);
}

QString PortResult(uint16_t port, uint8_t type, uint8_t op, bool removed, bool ok, const QString& reason)
{
    const QStringList args = PortArgs(port, type, ok ? QString() : reason);
    const bool why = !ok && !reason.isEmpty();
    if (op == 1) {
        if (ok)
            return Sentence(QT_TRANSLATE_NOOP("Morvane", "端口映射-%1-(%2)成功"), args);
        return why ? Sentence(QT_TRANSLATE_NOOP("Morvane", "端口映射-%1-(%2)失败(%3)"), args)
                   : Sentence(QT_TRANSLATE_NOOP("Morvane", "端口映射-%1-(%2)失败"), args);
    }
    if (op == 0 && removed) {
        if (ok)
            return Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)成功", "removed"), args);
        return why ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)失败(%3)", "removed"), args)
                   : Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)失败", "removed"), args);
    }
    if (op == 0) {
        if (ok)
            return Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)成功", "unmapped"), args);
        return why ? Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)失败(%3)", "unmapped"), args)
                   : Sentence(QT_TRANSLATE_NOOP3("Morvane", "删除端口映射-%1-(%2)失败", "unmapped"), args);
    }
    if (ok)
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "-%1-(%2)成功"), args);
    return why ? Sentence(QT_TRANSLATE_NOOP("Morvane", "-%1-(%2)失败(%3)"), args)
               : Sentence(QT_TRANSLATE_NOOP("Morvane", "-%1-(%2)失败"), args);
}

QString PortDuplicate(uint16_t port, uint8_t type)
{
    return Sentence(QT_TRANSLATE_NOOP3("Morvane", "重复数据", "port already listed"), PortArgs(port, type));
}

QString PortOutOfRange(const QString& typed)
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "端口号无效(1-65535): %1"), {typed});
}

QString PortLost(uint16_t port, uint8_t type)
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "端口%1(%2)在路由器上的映射已丢失,服务程序没能再次映射它。"),
                    PortArgs(port, type));
}

QString DomainFailing(const QString& domain, const QString& reason)
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "域名%1的更新失败: %2。域名保持开启,服务程序会再次尝试。"),
                    {domain, reason});
}

QString IpChanged(const QString& address)
{
    return Sentence(QT_TRANSLATE_NOOP3("Morvane", "本地动态IP发生了变化", "new address"), {address});
}

QString ServiceBack()
{
    return Text(IDS_SERVICE_BACK);
}

QString ServiceStopped()
{
    return Sentence(QT_TRANSLATE_NOOP("Morvane", "服务程序已停止"));
}

}  // namespace lines

}  // namespace gui
