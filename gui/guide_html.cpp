// morvane_guide_html <guide.md> <guide.html>: renders the user guide (Markdown) as one web page for
// the desktop program's links. Every heading gets the anchor a Markdown viewer would give it
// ("Port mapping" -> #port-mapping), so a link can open a section.

#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <cstdio>

namespace {

QString Anchor(const QString& heading)
{
    QString anchor = heading.toLower();
    anchor.remove(QRegularExpression(QStringLiteral("[^\\w\\- ]"), QRegularExpression::UseUnicodePropertiesOption));
    anchor.replace(QLatin1Char(' '), QLatin1Char('-'));
    return anchor;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <guide.md> <guide.html>\n", argv[0]);
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    QTextDocument doc;
    doc.setMarkdown(QString::fromUtf8(in.readAll()));
    QString title = QStringLiteral("Morvane");
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0)
            continue;
        if (block.blockFormat().headingLevel() == 1)
            title = block.text();
        QTextCursor cursor(block);
        cursor.select(QTextCursor::BlockUnderCursor);
        QTextCharFormat anchor;
        anchor.setAnchor(true);
        anchor.setAnchorNames({Anchor(block.text())});
        cursor.mergeCharFormat(anchor);
    }
    doc.setMetaInformation(QTextDocument::DocumentTitle, title);
    // The browser's own font and size, not those of the machine that built the page.
    QString html = doc.toHtml();
    html.replace(QRegularExpression(QStringLiteral("<body style=\"[^\"]*\">")), QStringLiteral("<body>"));
    QSaveFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly) || out.write(html.toUtf8()) < 0 || !out.commit()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
