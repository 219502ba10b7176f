#pragma once
// The trace window ("通信监视"): every chunk the main window's port and the
// firmware window's port send and receive, one row each, with what it is. It
// listens only while shown: hidden, the ports carry no tap and cost nothing more.
#include "serial/QRT_ComDrv.h"
#include "trace/LineTracer.h"
#include "ui/TraceModel.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QWidget>

#include <functional>
#include <memory>

class TTraceFrm : public QWidget {
    Q_OBJECT
public:
    // modbus: the main window's port; bootloader: the firmware window's, or nullptr.
    TTraceFrm(TQRTCommDriver &modbus, TQRTCommDriver *bootloader, QWidget *parent = nullptr);
    ~TTraceFrm() override;

    bool Listening() const { return listening_; }
    bool Paused() const { return PauseButton->isChecked(); }
    TTraceModel &Model() { return *model_; }
    TTraceFilter &Filter() { return *filter_; }
    // What the table shows (the filter applied), as the trace file's lines.
    QStringList ShownLines() const;
    // ShownLines to `path`. False when it cannot be written.
    bool SaveTo(const QString &path);

    // Handlers.
    void PauseButtonClick();
    void ClearButtonClick();
    void SaveButtonClick();
    void FailedOnlyBoxClick();

    // Asks for the file to save to; empty when the user cancelled. Tests answer in its place.
    std::function<QString()> AskFileName;

    QTableView *TraceView;
    QPushButton *PauseButton;
    QPushButton *ClearButton;
    QPushButton *SaveButton;
    QCheckBox *FailedOnlyBox;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void listen(bool on);
    void take(TTraceSource source, const talvex::trace::TraceLine &line);

    // Either port may go before this window does (the windows are torn down in
    // their own order): a port gone is left alone.
    QPointer<TQRTCommDriver> modbus_;
    QPointer<TQRTCommDriver> bootloader_;
    TTraceModel *model_;
    TTraceFilter *filter_;
    std::unique_ptr<talvex::trace::LineTracer> modbusTracer_;
    std::unique_ptr<talvex::trace::LineTracer> bootTracer_;
    bool listening_ = false;
    bool followBottom_ = true;
};
