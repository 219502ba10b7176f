#pragma once
// What talvex-station is started with: the recipe, the ports, the records and the
// operator, from its command line or, without them, from a small dialog. Each is
// judged before the station opens a port: a bad recipe names its field and why.
#include "station/RecordStore.h"
#include "station/Station.h"
#include "translations/Language.h"

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>

#include <optional>

struct TStationSetup {
    QString recipe;     // the recipe file
    QStringList ports;  // "COM3", "/dev/ttyUSB0", ...
    QString db;         // the records' URL; empty: DefaultRecordsUrl()
    QString operatorName;
    // Both the recipe and the ports given: the window starts without the dialog.
    bool complete() const { return !recipe.isEmpty() && !ports.isEmpty(); }
};

// --help and --version, answered before any window exists (no display needed).
std::optional<int> StationAnswerWithoutWindows(int argc, char *argv[]);
// The setup and the language from the command line (after the GUI application
// has taken its own options). False with the reason for an unknown option or a
// --lang that is neither zh nor en.
bool ReadStationCommandLine(const QStringList &arguments, TStationSetup &setup, TUiLanguage &language, QString &error);

// Loads the recipe and resolves the ports. False with the reason, in the
// window's words with the recipe's own field and reason inside.
bool PrepareStation(const TStationSetup &setup, TRecipe &recipe, QList<TStationPort> &ports, QString &error);
// Opens the records; false with the reason.
bool OpenStationRecords(const TStationSetup &setup, TRecordStore &store, QString &error);

// The recipe file (typed or picked), the ports, the records and the operator.
class TStationSetupDlg : public QDialog {
    Q_OBJECT
public:
    explicit TStationSetupDlg(const TStationSetup &given, QWidget *parent = nullptr);
    TStationSetup setup() const;

    QLineEdit *RecipeFile;
    QPushButton *RecipeBrowse;
    QLineEdit *PortsEdit;
    QLineEdit *DbEdit;
    QLineEdit *OperatorEdit;
    QPushButton *SetupOk;
    QPushButton *SetupCancel;
};

// The dialog until what it is given makes a station (recipe, ports and records
// all good), each refusal in a message box. False when the operator cancels.
bool AskStationSetup(TStationSetup &setup, TRecipe &recipe, QList<TStationPort> &ports, TRecordStore &store);
