// Which language the windows speak, from --lang or the environment; and the
// English catalogue itself: every entry translated, in English, with the
// source's placeholders, line breaks and accelerators.
#include "tests/support/VisibleTexts.h"
#include "translations/Language.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QtTest>

Q_DECLARE_METATYPE(TUiLanguage)

namespace {
const TUiLanguage zh = TUiLanguage::Chinese;
const TUiLanguage en = TUiLanguage::English;

struct Entry {
    QString context;
    QString source;
    QString translation;
    QString type;  // "unfinished", "vanished", "obsolete" or empty
};

// The element's text, with lupdate's <byte value="xd"/> for a control character read back as that character.
QString EntryText(QXmlStreamReader &xml)
{
    QString text;
    for (int depth = 1; depth > 0 && !xml.atEnd();) {
        xml.readNext();
        if (xml.isCharacters())
            text += xml.text();
        else if (xml.isStartElement() && ++depth && xml.name() == QLatin1String("byte"))
            text += QChar(xml.attributes().value("value").mid(1).toUShort(nullptr, 16));
        else if (xml.isEndElement())
            --depth;
    }
    return text;
}

QList<Entry> ReadCatalogue(const QString &path)
{
    QList<Entry> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    QXmlStreamReader xml(&file);
    QString context;
    Entry entry;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            entry = Entry{context, EntryText(xml), {}, {}};
        } else if (xml.name() == QLatin1String("translation")) {
            entry.type = xml.attributes().value("type").toString();
            entry.translation = EntryText(xml);
            entries.append(entry);
        }
    }
    return entries;
}

QStringList Placeholders(const QString &text)
{
    static const QRegularExpression placeholder(QStringLiteral("%\\d"));
    QStringList found;
    for (const QRegularExpressionMatch &m : placeholder.globalMatch(text))
        found << m.captured();
    found.sort();
    return found;
}
}  // namespace

class TestLanguage : public QObject {
    Q_OBJECT
private slots:
    void fromEnvironment_data()
    {
        // LANGUAGE, LC_ALL, LC_MESSAGES and LANG.
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("lcAll");
        QTest::addColumn<QString>("lcMessages");
        QTest::addColumn<QString>("lang");
        QTest::addColumn<TUiLanguage>("expected");
        const QString unset;
        QTest::newRow("nothing set") << unset << unset << unset << unset << zh;
        QTest::newRow("C") << unset << unset << unset << "C" << zh;
        QTest::newRow("C.UTF-8") << unset << unset << unset << "C.UTF-8" << zh;
        QTest::newRow("POSIX") << unset << unset << unset << "POSIX" << zh;
        QTest::newRow("LANG English") << unset << unset << unset << "en_US.UTF-8" << en;
        QTest::newRow("LANG British") << unset << unset << unset << "en_GB" << en;
        QTest::newRow("LANG Chinese") << unset << unset << unset << "zh_CN.UTF-8" << zh;
        QTest::newRow("LANG German") << unset << unset << unset << "de_DE.UTF-8" << zh;
        QTest::newRow("LC_MESSAGES over LANG") << unset << unset << "en_US.UTF-8"
                                               << "zh_CN.UTF-8" << en;
        QTest::newRow("LC_ALL over LC_MESSAGES") << unset << "zh_TW.UTF-8"
                                                 << "en_US.UTF-8"
                                                 << "en_US.UTF-8" << zh;
        QTest::newRow("LC_ALL C over LANG") << unset << "C" << unset << "en_US.UTF-8" << zh;
        QTest::newRow("LANGUAGE over the locale") << "en" << unset << unset << "zh_CN.UTF-8" << en;
        QTest::newRow("LANGUAGE Chinese first") << "zh_CN:en" << unset << unset << "en_US.UTF-8" << zh;
        QTest::newRow("LANGUAGE skips a language without catalogue") << "fr:en_GB" << unset << unset << "de_DE" << en;
        QTest::newRow("LANGUAGE without a known language") << "fr:de" << unset << unset << "en_US.UTF-8" << en;
        QTest::newRow("LANGUAGE passed over in the C locale") << "en" << unset << unset << "C" << zh;
        QTest::newRow("LANGUAGE passed over without a locale") << "en" << unset << unset << unset << zh;
    }
    void fromEnvironment()
    {
        QFETCH(QString, language);
        QFETCH(QString, lcAll);
        QFETCH(QString, lcMessages);
        QFETCH(QString, lang);
        QFETCH(TUiLanguage, expected);
        const QMap<QString, QString> env{
            {"LANGUAGE", language}, {"LC_ALL", lcAll}, {"LC_MESSAGES", lcMessages}, {"LANG", lang}};
        QCOMPARE(LanguageFromEnvironment([&](const char *name) { return env.value(QString::fromLatin1(name)); }),
                 expected);
    }

    void fromName()
    {
        QCOMPARE(LanguageFromName("zh"), std::optional(zh));
        QCOMPARE(LanguageFromName("en"), std::optional(en));
        QCOMPARE(LanguageFromName("EN"), std::optional(en));
        QCOMPARE(LanguageFromName("fr"), std::nullopt);
        QCOMPARE(LanguageFromName(""), std::nullopt);
    }

    // Chinese: the windows' texts stay as written, Qt's own buttons come in Chinese.
    void installChinese()
    {
        QVERIFY(InstallLanguage(TUiLanguage::Chinese));
        QCOMPARE(QCoreApplication::translate("TMainForm", "开始连接"), QString("开始连接"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "OK"), QString("确定"));
    }
    // English: the program's catalogue, carried inside it, comes first.
    void installEnglish()
    {
        QVERIFY(InstallLanguage(TUiLanguage::English));
        QCOMPARE(QCoreApplication::translate("TMainForm", "开始连接"), QString("Connect"));
        QCOMPARE(QCoreApplication::translate("ModuleTexts", "三级"), QString("Level 3"));
    }

    void catalogueIsEnglish()
    {
        const QList<Entry> entries = ReadCatalogue(QStringLiteral(TALVEX_CATALOGUE));
        QVERIFY(entries.size() > 50);
        int withBreaks = 0;
        for (const Entry &e : entries) {
            withBreaks += e.source.contains('\r') ? 1 : 0;
            const QString where = e.context + ": " + e.source;
            QVERIFY2(e.type.isEmpty(), qPrintable(where + " is " + e.type));
            QVERIFY2(!e.translation.trimmed().isEmpty(), qPrintable(where));
            QVERIFY2(!HasCjk(e.translation), qPrintable(where + " -> " + e.translation));
            QVERIFY2(HasCjk(e.source), qPrintable(where + ": a text without Chinese needs no entry"));
            QCOMPARE(Placeholders(e.translation), Placeholders(e.source));
            QCOMPARE(e.translation.count('\r'), e.source.count('\r'));
            QVERIFY2(!e.translation.contains(QChar(0)), qPrintable(where));
            QCOMPARE(Drawn(e.translation) != e.translation, Drawn(e.source) != e.source);
        }
    }
};

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
