#pragma once
// The lines the pages write into their output lists, and the other sentences that carry values.
//
// Each is one whole sentence in the sources (Chinese), with %1, %2... where a value goes, so a
// translation can put the values where its own grammar wants them. A translation may name values the
// original leaves out (the English lines name the domain or the port; the Chinese ones keep their
// short original form), so the values are filled in wherever the chosen text has a place for them.

#include <QString>
#include <QStringList>

#include <cstdint>

namespace gui {

// `text` with %1..%9 replaced by `args` in one pass; places without a value and values without a
// place are left alone, so a text never gets another's value.
QString Fill(const QString& text, const QStringList& args);
// A sentence of context "Morvane" in the user's language, filled with `args`. Sources marked with
// QT_TRANSLATE_NOOP, or with QT_TRANSLATE_NOOP3 where one original has several translations.
struct SentenceSource {
    const char* text;
    const char* disambiguation;
};
QString Sentence(const char* source, const QStringList& args = {});
QString Sentence(SentenceSource source, const QStringList& args = {});

// "TCP" or "UDP" for a port-mapping protocol byte.
QString ProtocolName(uint8_t type);

namespace lines {

// Switching a domain on or off: the request, its answer, and no answer at all.
QString DomainRequest(const QString& domain, bool on);
QString DomainResult(const QString& domain, bool on, bool ok);
QString DomainNoAnswer(const QString& domain, bool on);

// Refreshing the domain list.
QString ListRequest();
QString ListResult(bool ok);
QString ListNoAnswer();

// Mapping (op 1) or unmapping (op 0) a router port. `removed`: the row was deleted with it, so the
// unmapping is a removal. `reason`: why it failed, empty when not said.
QString PortRequest(uint16_t port, uint8_t type, uint8_t op, bool removed);
QString PortResult(uint16_t port, uint8_t type, uint8_t op, bool removed, bool ok, const QString& reason = {});
QString PortDuplicate(uint16_t port, uint8_t type);
QString PortOutOfRange(const QString& typed);
// The router no longer maps a port the service had mapped (found when it mapped the ports anew).
QString PortLost(uint16_t port, uint8_t type);

// A switched-on domain whose update failed; the service keeps it on and tries again.
QString DomainFailing(const QString& domain, const QString& reason);
QString IpChanged(const QString& address);
QString ServiceBack();
QString ServiceStopped();

}  // namespace lines

}  // namespace gui
