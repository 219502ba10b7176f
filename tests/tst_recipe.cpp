// A station's recipe: every refusal names its field and its reason, settings are
// judged by configure's own rules, and a good recipe reads as what the station
// will do; `talvex-cli recipe check` says the same before any port is opened.
#include "app/cli/Options.h"
#include "station/Recipe.h"
#include "tests/support/CliProcess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

QString Sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class TestRecipe : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString imageSha_;  // of fw/image.bin, the stand-in image
    QString otherSha_;  // of another.bin

    // The good recipe, with `change` put over it (a null value removes the field).
    QJsonObject recipe(const QJsonObject &change = {}) const
    {
        QJsonObject o{
            {"image", "fw/image.bin"},
            {"sha256", imageSha_},
            {"settings", QJsonObject{{"station", 5}, {"can-baud", "500k"}, {"filter", "3"}, {"suppress", 20}}},
            {"label_required", true},
            {"label_pattern", "TM-[0-9]{6}"},
            {"lot", "2026-W19-A"}};
        for (auto it = change.begin(); it != change.end(); ++it) {
            if (it.value().isNull())
                o.remove(it.key());
            else
                o[it.key()] = it.value();
        }
        return o;
    }

    QString writeRecipe(const QString &name, const QByteArray &text) const
    {
        const QString path = dir_.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QString writeRecipe(const QString &name, const QJsonObject &o) const
    {
        return writeRecipe(name, QJsonDocument(o).toJson());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QVERIFY(QDir(dir_.path()).mkpath("fw"));
        const QByteArray image = ReadAll(TALVEX_STANDIN_IMAGE);
        QVERIFY(!image.isEmpty());
        QVERIFY(QFile::copy(TALVEX_STANDIN_IMAGE, dir_.filePath("fw/image.bin")));
        imageSha_ = Sha256Of(image);
        QByteArray other = image;
        other[100] = char(other[100] ^ 0x5A);
        QFile f(dir_.filePath("another.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(other) == other.size());
        otherSha_ = Sha256Of(other);
        QFile text(dir_.filePath("readme.txt"));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not an image\n") > 0);
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason");  // the start of the message: field, then reason
        const auto row = [](const char *name, const QJsonObject &o, const QString &reason) {
            QTest::newRow(name) << QJsonDocument(o).toJson() << reason;
        };
        QTest::newRow("not JSON") << QByteArray("{\"lot\": ") << "recipe: not JSON";
        QTest::newRow("an array") << QByteArray("[1, 2]") << "recipe: must be one JSON object";
        row("unknown field", recipe({{"imgae", "x.bin"}}), "imgae: not a field of a recipe");
        row("no lot", recipe({{"lot", QJsonValue::Null}}), "lot: missing");
        row("empty lot", recipe({{"lot", "  "}}), "lot: must be a non-empty text");
        row("lot a number", recipe({{"lot", 7}}), "lot: must be a non-empty text");
        row("lot with a tab", recipe({{"lot", "A\tB"}}), "lot: \"A\tB\" has blanks at an end or control characters");
        row("no image", recipe({{"image", QJsonValue::Null}}), "image: missing");
        row("image absent", recipe({{"image", "fw/gone.bin"}}), "image: cannot read ");
        row("image a text file", recipe({{"image", "readme.txt"}}), "image: ");
        row("no sha256", recipe({{"sha256", QJsonValue::Null}}), "sha256: missing");
        row("sha256 short", recipe({{"sha256", "abc"}}), "sha256: must be 64 hexadecimal digits");
        row("sha256 of another file", recipe({{"image", "another.bin"}}),
            QStringLiteral("sha256: the image's digest is %1, not %2").arg(otherSha_, imageSha_));
        row("settings not an object", recipe({{"settings", "station=5"}}), "settings: must be an object");
        row("unknown setting", recipe({{"settings", QJsonObject{{"baud", 9600}}}}), "settings.baud: not a setting");
        row("station 0", recipe({{"settings", QJsonObject{{"station", 0}}}}),
            "settings.station: 0 is out of range (1 ... 99)");
        row("station a word", recipe({{"settings", QJsonObject{{"station", "five"}}}}),
            "settings.station: \"five\" is not a number");
        row("station true", recipe({{"settings", QJsonObject{{"station", true}}}}),
            "settings.station: must be a number or a text");
        row("suppress a fraction", recipe({{"settings", QJsonObject{{"suppress", 2.5}}}}),
            "settings.suppress: \"2.5\" is not a number");
        row("can-baud not listed", recipe({{"settings", QJsonObject{{"can-baud", "7K"}}}}),
            "settings.can-baud: \"7K\" is not one of \"10K\"");
        row("filter past its levels", recipe({{"settings", QJsonObject{{"filter", 12}}}}),
            "settings.filter: \"12\" is not a filter level (0 ... 9)");
        row("rs485-format not listed", recipe({{"settings", QJsonObject{{"rs485-format", "7N2"}}}}),
            "settings.rs485-format: \"7N2\" is not one of");
        row("label_required a word", recipe({{"label_required", "yes"}}), "label_required: must be true or false");
        row("label_pattern broken", recipe({{"label_pattern", "TM-("}}), "label_pattern: not a regular expression");
        row("protect a word", recipe({{"protect", "yes"}}), "protect: must be true or false");
    }

    void refused()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        TRecipe r;
        QString error;
        QVERIFY(!LoadRecipe(writeRecipe("bad.json", text), r, error));
        QVERIFY2(error.startsWith(reason), qPrintable(error));
    }

    void missingFile()
    {
        TRecipe r;
        QString error;
        QVERIFY(!LoadRecipe(dir_.filePath("none.json"), r, error));
        QVERIFY2(error.startsWith("recipe: cannot read "), qPrintable(error));
    }

    // A setting's refusal is configure's own, word for word, with the field's name for the option's.
    void settingsJudgedAsConfigureJudgesThem_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("value");
        QTest::newRow("station") << "station"
                                 << "100";
        QTest::newRow("suppress") << "suppress"
                                  << "0x2711";
        QTest::newRow("filter") << "filter"
                                << "十级";
        QTest::newRow("rs485-baud") << "rs485-baud"
                                    << "115200";
    }

    void settingsJudgedAsConfigureJudgesThem()
    {
        QFETCH(QString, setting);
        QFETCH(QString, value);
        talvex::cli::Options o;
        QString configureError;
        QVERIFY(!talvex::cli::ParseArguments({"configure", "--" + setting, value}, o, configureError));
        TRecipe r;
        QString error;
        QVERIFY(
            !LoadRecipe(writeRecipe("setting.json", recipe({{"settings", QJsonObject{{setting, value}}}})), r, error));
        QCOMPARE(error, QString(configureError).replace("--" + setting, "settings." + setting));
    }

    void goodRecipe()
    {
        QJsonObject o = recipe();
        o["sha256"] = imageSha_.toUpper();  // as some tools print it
        TRecipe r;
        QString error;
        QVERIFY2(LoadRecipe(writeRecipe("good.json", o), r, error), qPrintable(error));
        QCOMPARE(r.file, dir_.filePath("good.json"));
        QCOMPARE(r.imagePath, dir_.filePath("fw/image.bin"));
        QCOMPARE(r.imageSha256, imageSha_);
        QCOMPARE(r.image.bytes, ReadAll(TALVEX_STANDIN_IMAGE));
        QCOMPARE(r.image.format, QStringLiteral("binary"));
        QCOMPARE(r.lot, QStringLiteral("2026-W19-A"));
        QVERIFY(r.labelRequired);
        QCOMPARE(r.labelPattern, QStringLiteral("TM-[0-9]{6}"));
        // Indexed like the table: station, can-baud, rs485-baud, suppress, filter, rs485-format.
        const std::array<std::optional<int>, kModuleSettingCount> expected = {5, 6, std::nullopt, 20, 3, std::nullopt};
        QCOMPARE(r.settings.values, expected);
        const QStringList lines = DescribeRecipe(r);
        QVERIFY(lines.contains("lot: 2026-W19-A"));
        QVERIFY(lines.contains(QStringLiteral("image: %1 (binary, sha256 %2)").arg(r.imagePath, imageSha_)));
        QVERIFY2(lines.contains("settings written after the flash: station 5, can-baud 500K, filter 3 (三级), "
                                "suppress 20 ms; the others as the module holds them"),
                 qPrintable(lines.join('\n')));
        QVERIFY(lines.contains("label: required, matching TM-[0-9]{6} whole"));
        QVERIFY(!r.protect);
        QVERIFY(lines.contains("protection: none set; the flash stays readable"));

        o["protect"] = true;
        QVERIFY2(LoadRecipe(writeRecipe("protected.json", o), r, error), qPrintable(error));
        QVERIFY(r.protect);
        QVERIFY(DescribeRecipe(r).contains("protection: read-out protection set after the verified flash"));
    }

    void noSettingsNoLabel()
    {
        TRecipe r;
        QString error;
        QVERIFY2(LoadRecipe(writeRecipe("plain.json", recipe({{"settings", QJsonValue::Null},
                                                              {"label_required", QJsonValue::Null},
                                                              {"label_pattern", QJsonValue::Null}})),
                            r, error),
                 qPrintable(error));
        QVERIFY(std::none_of(r.settings.values.begin(), r.settings.values.end(),
                             [](const std::optional<int> &v) { return v.has_value(); }));
        const QStringList lines = DescribeRecipe(r);
        QVERIFY(lines.contains("settings: none written; each module keeps what it holds"));
        QVERIFY(lines.contains("label: optional, any text when given"));
    }

    void labels_data()
    {
        QTest::addColumn<bool>("required");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("taken");
        QTest::newRow("required, none") << true << ""
                                        << "" << false;
        QTest::newRow("optional, none") << false << "TM-[0-9]{6}"
                                        << "" << true;
        QTest::newRow("matches whole") << true << "TM-[0-9]{6}"
                                       << "TM-000123" << true;
        QTest::newRow("matches a part only") << true << "TM-[0-9]{6}"
                                             << "XTM-0001234" << false;
        QTest::newRow("any label") << true << ""
                                   << "whatever" << true;
    }

    void labels()
    {
        QFETCH(bool, required);
        QFETCH(QString, pattern);
        QFETCH(QString, label);
        QFETCH(bool, taken);
        TRecipe r;
        r.labelRequired = required;
        r.labelPattern = pattern;
        QString why;
        QCOMPARE(RecipeTakesLabel(r, label, why), taken);
        QCOMPARE(why.isEmpty(), taken);
    }

    // The command: a good recipe is described, exit 0; a bad one refused with
    // its field and reason, exit 2 (bad usage, nothing sent); no port is named.
    void checkCommand()
    {
        const QString good = writeRecipe("cli-good.json", recipe());
        const Result ok = RunCli({"recipe", "check", good}, dir_.path());
        QVERIFY2(ok.status == 0, qPrintable(Describe(ok)));
        QVERIFY2(ok.out.contains("settings written after the flash: station 5, can-baud 500K"), qPrintable(ok.out));
        QVERIFY(ok.out.contains(QStringLiteral("sha256 %1").arg(imageSha_)));

        const Result json = RunCli({"--json", "recipe", "check", good}, dir_.path());
        QCOMPARE(json.status, 0);
        const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
        QCOMPARE(o.value("valid").toBool(), true);
        QCOMPARE(o.value("sha256").toString(), imageSha_);
        QCOMPARE(o.value("settings").toObject().value("can-baud").toString(), QStringLiteral("500K"));

        const QString bad = writeRecipe("cli-bad.json", recipe({{"image", "another.bin"}}));
        const Result refused = RunCli({"recipe", "check", bad}, dir_.path());
        QVERIFY2(refused.status == 2, qPrintable(Describe(refused)));
        QVERIFY2(refused.err.contains(QStringLiteral("sha256: the image's digest is %1").arg(otherSha_)),
                 qPrintable(refused.err));
        QVERIFY(refused.out.isEmpty());
    }

    void checkCommandUsage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no verb") << QStringList{"recipe"} << "recipe needs what to do with it: recipe check FILE";
        QTest::newRow("no file") << QStringList{"recipe", "check"} << "recipe check needs the recipe FILE";
        QTest::newRow("a port") << QStringList{"-p", "COM2", "recipe", "check", "r.json"}
                                << "-p is not used by recipe: it opens no port";
        QTest::newRow("two files") << QStringList{"recipe", "check", "a.json", "b.json"}
                                   << "unexpected argument \"b.json\"";
    }

    void checkCommandUsage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        talvex::cli::Options o;
        QString error;
        QVERIFY(!talvex::cli::ParseArguments(args, o, error));
        QCOMPARE(error, reason);
    }
};

QTEST_GUILESS_MAIN(TestRecipe)
#include "tst_recipe.moc"
