#include "ui/StationSetup.h"

#include "app/cli/Port.h"
#include "station/RecordsUrl.h"
#include "widgets/Toolkit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QSet>
#include <QVBoxLayout>

#include <cstdio>

namespace {

const QString kProgram = QStringLiteral("talvex-station");
constexpr int kFieldWidth = 360;

const QCommandLineOption kRecipeOption(QStringLiteral("recipe"), QStringLiteral("The recipe (a JSON file)."),
                                       QStringLiteral("FILE"));
const QCommandLineOption kPortsOption(QStringLiteral("ports"),
                                      QStringLiteral("The slots' ports, comma-separated: COM1 ... COM8 or device "
                                                     "paths."),
                                      QStringLiteral("COM3,COM4,..."));
const QCommandLineOption kDbOption(QStringLiteral("db"),
                                   QStringLiteral("Where the records go: sqlite:PATH, postgresql://USER@HOST/DB or "
                                                  "postgresql:///DB?host=SOCKETDIR (default: %1).")
                                       .arg(QStringLiteral("~/.local/share/talvex/records.sqlite")),
                                   QStringLiteral("URL"));
const QCommandLineOption kOperatorOption(QStringLiteral("operator"), QStringLiteral("The operator's name."),
                                         QStringLiteral("NAME"));
const QCommandLineOption kLangOption(QStringLiteral("lang"),
                                     QStringLiteral("The window's language: zh (Chinese) or en (English)."),
                                     QStringLiteral("zh|en"));

void Describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("The production station's window: flashes, verifies, configures and records the boards\n"
                       "put on each slot's fixture. Without --recipe and --ports it asks for them; see "
                       "talvex-station(1)."));
    parser.addOptions({kRecipeOption, kPortsOption, kDbOption, kOperatorOption, kLangOption});
    parser.addHelpOption();
    parser.addVersionOption();
}

}  // namespace

std::optional<int> StationAnswerWithoutWindows(int argc, char *argv[])
{
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(kProgram);
    QCoreApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    QCommandLineParser parser;
    Describe(parser);
    parser.parse(core.arguments());  // the GUI application's own options are judged later
    QString text;
    if (parser.isSet(QStringLiteral("help")))
        text = parser.helpText();
    else if (parser.isSet(QStringLiteral("version")))
        text = kProgram + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n');
    else
        return std::nullopt;
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
}

bool ReadStationCommandLine(const QStringList &arguments, TStationSetup &setup, TUiLanguage &language, QString &error)
{
    QCommandLineParser parser;
    Describe(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    setup.recipe = parser.value(kRecipeOption);
    setup.ports = parser.value(kPortsOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString &port : setup.ports)
        port = port.trimmed();
    setup.db = parser.value(kDbOption);
    setup.operatorName = parser.value(kOperatorOption);
    language = LanguageFromEnvironment();
    if (parser.isSet(kLangOption)) {
        const std::optional<TUiLanguage> chosen = LanguageFromName(parser.value(kLangOption));
        if (!chosen) {
            error = QStringLiteral("--lang: \"%1\" is neither zh nor en").arg(parser.value(kLangOption));
            return false;
        }
        language = *chosen;
    }
    return true;
}

bool PrepareStation(const TStationSetup &setup, TRecipe &recipe, QList<TStationPort> &ports, QString &error)
{
    QString why;
    if (setup.recipe.isEmpty()) {
        error = TStationSetupDlg::tr("请选择配方文件");
        return false;
    }
    if (!LoadRecipe(setup.recipe, recipe, why)) {
        error = TStationSetupDlg::tr("配方 %1 无效：%2").arg(setup.recipe, why);
        return false;
    }
    if (setup.ports.isEmpty()) {
        error = TStationSetupDlg::tr("请给出工位的串口，例如 COM3,COM4");
        return false;
    }
    ports.clear();
    QSet<QString> devices;
    for (const QString &name : setup.ports) {
        talvex::cli::PortTarget target;
        if (!talvex::cli::ResolvePort(name, target)) {
            error = TStationSetupDlg::tr("串口“%1”既不是 COM1 ... COM8，也不是设备路径").arg(name);
            return false;
        }
        if (devices.contains(QString::fromStdString(target.device))) {
            error = TStationSetupDlg::tr("串口 %1 重复").arg(name);
            return false;
        }
        devices.insert(QString::fromStdString(target.device));
        ports.append({target.name, target.device});
    }
    return true;
}

bool OpenStationRecords(const TStationSetup &setup, TRecordStore &store, QString &error)
{
    const QString url = setup.db.isEmpty() ? DefaultRecordsUrl() : setup.db;
    QString why;
    if (store.open(url, why))
        return true;
    error = TStationSetupDlg::tr("记录数据库 %1 无法打开：%2").arg(RecordsUrlShown(url), why);
    return false;
}

TStationSetupDlg::TStationSetupDlg(const TStationSetup &given, QWidget *parent) : QDialog(parent)
{
    setObjectName("StationSetup");
    setWindowTitle(tr("TALVEX_M生产工位"));
    setFont(SongFont(16));

    RecipeFile = new QLineEdit(given.recipe, this);
    RecipeFile->setObjectName("RecipeFile");
    RecipeFile->setMinimumWidth(kFieldWidth);
    RecipeBrowse = new QPushButton(tr("浏览..."), this);
    RecipeBrowse->setObjectName("RecipeBrowse");
    connect(RecipeBrowse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, tr("选择配方"), RecipeFile->text(),
                                                          tr("配方 (*.json)"));
        if (!file.isEmpty())
            RecipeFile->setText(file);
    });
    PortsEdit = new QLineEdit(given.ports.join(QLatin1Char(',')), this);
    PortsEdit->setObjectName("PortsEdit");
    PortsEdit->setPlaceholderText(QStringLiteral("COM3,COM4"));
    DbEdit = new QLineEdit(given.db.isEmpty() ? DefaultRecordsUrl() : given.db, this);
    DbEdit->setObjectName("DbEdit");
    OperatorEdit = new QLineEdit(given.operatorName, this);
    OperatorEdit->setObjectName("OperatorEdit");

    auto *recipeRow = new QHBoxLayout;
    recipeRow->addWidget(RecipeFile, 1);
    recipeRow->addWidget(RecipeBrowse);
    auto *form = new QFormLayout;
    form->addRow(tr("配方"), recipeRow);
    form->addRow(tr("串口"), PortsEdit);
    form->addRow(tr("记录"), DbEdit);
    form->addRow(tr("操作员"), OperatorEdit);

    SetupOk = new QPushButton(tr("确定"), this);
    SetupOk->setObjectName("SetupOk");
    SetupOk->setDefault(true);
    connect(SetupOk, &QPushButton::clicked, this, &QDialog::accept);
    SetupCancel = new QPushButton(tr("取消"), this);
    SetupCancel->setObjectName("SetupCancel");
    connect(SetupCancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(SetupOk);
    buttons->addWidget(SetupCancel);

    auto *all = new QVBoxLayout(this);
    all->addLayout(form);
    all->addLayout(buttons);
}

TStationSetup TStationSetupDlg::setup() const
{
    TStationSetup s;
    s.recipe = RecipeFile->text().trimmed();
    for (const QString &port : PortsEdit->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
        s.ports << port.trimmed();
    s.db = DbEdit->text().trimmed();
    s.operatorName = OperatorEdit->text().trimmed();
    return s;
}

bool AskStationSetup(TStationSetup &setup, TRecipe &recipe, QList<TStationPort> &ports, TRecordStore &store)
{
    for (;;) {
        TStationSetupDlg dialog(setup);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        setup = dialog.setup();
        QString error;
        if (PrepareStation(setup, recipe, ports, error) && OpenStationRecords(setup, store, error))
            return true;
        ShowMessage(nullptr, error, kCaptionApp);
    }
}
