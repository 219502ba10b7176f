#pragma once
#include "modbus/ModuleConfig.h"

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

// The register write dialog: one register, one value, one Write Single Register.
class TMonitorDf : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 265;
    static constexpr int kClientHeight = 130;
    static constexpr int kMaxValue = 65535;
    static constexpr int kFieldChars = 5;

    explicit TMonitorDf(QWidget *parent = nullptr);
    ~TMonitorDf() override;

    void FormShow();
    // Returns false when the typed character is to be discarded.
    bool Edit1KeyPress(QChar key);
    // Returns true when the key was taken (Enter writes, Escape closes).
    bool Edit1KeyDown(int key);
    void Edit1Change();
    void BitBtn1Click();
    void BitBtn3Click();

    // The write BitBtn1 makes, handed in by whoever opens the dialog (the main
    // window pauses its polling around it). Without one, a write fails.
    void SetRegisterWriter(TRegisterWriter writer) { writeRegister_ = std::move(writer); }

    QGroupBox *GroupBox1;
    QCheckBox *CheckBox1;
    QLineEdit *Edit2;
    QLineEdit *Edit1;
    QPushButton *BitBtn1;
    QPushButton *BitBtn3;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    TRegisterWriter writeRegister_;
    QString lastAccepted_ = QStringLiteral("0");
    bool changing_ = false;
};

extern TMonitorDf *MonitorDf;
