#include "ui/TrendUnitsDialog.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { kName, kScale, kOffset, kUnit, kColumns };

QString Tr(const char *text)
{
    return QCoreApplication::translate("TrendUnitsDialog", text);
}

}  // namespace

bool EditChannelUnits(QWidget *owner, TChannelUnits &units)
{
    QDialog dialog(owner);
    dialog.setObjectName("UnitsDialog");
    dialog.setWindowTitle(Tr(QT_TRANSLATE_NOOP("TrendUnitsDialog", "工程单位")));
    auto *table = new QTableWidget(kTrendChannels, kColumns, &dialog);
    table->setObjectName("UnitsTable");
    table->setHorizontalHeaderLabels(
        {Tr(QT_TRANSLATE_NOOP("TrendUnitsDialog", "名称")), Tr(QT_TRANSLATE_NOOP("TrendUnitsDialog", "比例")),
         Tr(QT_TRANSLATE_NOOP("TrendUnitsDialog", "偏移")), Tr(QT_TRANSLATE_NOOP("TrendUnitsDialog", "单位"))});
    for (int c = 0; c < kTrendChannels; ++c) {
        table->setVerticalHeaderItem(c, new QTableWidgetItem(ChannelId(c)));
        const TChannelUnit &u = units[c];
        table->setItem(c, kName, new QTableWidgetItem(u.Name));
        table->setItem(c, kScale, new QTableWidgetItem(QString::number(u.Scale, 'g', 10)));
        table->setItem(c, kOffset, new QTableWidgetItem(QString::number(u.Offset, 'g', 10)));
        table->setItem(c, kUnit, new QTableWidgetItem(u.Unit));
    }
    table->horizontalHeader()->setStretchLastSection(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(table);
    layout->addWidget(buttons);
    dialog.resize(520, 560);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    for (int c = 0; c < kTrendChannels; ++c) {
        TChannelUnit &u = units[c];
        u.Name = table->item(c, kName)->text().trimmed();
        bool ok = false;
        // A number that does not read as one keeps the value it had.
        if (const double v = table->item(c, kScale)->text().toDouble(&ok); ok)
            u.Scale = v;
        if (const double v = table->item(c, kOffset)->text().toDouble(&ok); ok)
            u.Offset = v;
        u.Unit = table->item(c, kUnit)->text().trimmed();
    }
    return true;
}
