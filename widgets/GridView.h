#pragma once
// A string grid on Qt's item views: a table of text cells whose row 0 and
// column 0 are the fixed (heading) cells, owner-drawn through an item delegate.
// The cell texts live in a small model, so what a cell shows is what the model
// and the accessibility interface report for it (a screen reader reads the grid
// cell by cell). Cell (col, row) is the model index (row, col).
//
// Painting a cell: its background (fixed, selected or plain) and then the
// model's text, so what is painted is what a reader hears. The owner's drawing
// handler only formats: it may make the text bold or change its colour. The
// owner keeps each cell's text in the model and sets it whenever the value changes.
#include "widgets/DigitFace.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QString>
#include <QTableView>

#include <array>
#include <functional>
#include <vector>

struct TGridDrawState {
    bool fixed = false;
    bool selected = false;
    bool focused = false;
};

// A font in its regular and bold forms.
struct TGridFont {
    explicit TGridFont(const QFont &font = QFont());
    TDigitFace regular;
    TDigitFace bold;
};

// How a cell's text is painted. The grid fills in its default (regular, in the
// text colour of the cell's state); the owner's drawing handler may change it.
struct TCellFormat {
    bool bold = false;
    QColor color;
};

// The cell texts. Fixed cells can be read but not selected.
class TGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    TGridModel(QObject *parent, int colCount, int rowCount);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    QString Cells(int col, int row) const;
    // A text equal to the cell's own changes nothing and signals nothing, so an
    // unchanged cell is not painted again.
    void SetCells(int col, int row, const QString &text);

private:
    bool inRange(int col, int row) const { return col >= 0 && col < colCount_ && row >= 0 && row < rowCount_; }
    size_t at(int col, int row) const { return static_cast<size_t>(row * colCount_ + col); }

    int colCount_;
    int rowCount_;
    std::vector<QString> cells_;
};

class TGridView : public QTableView {
    Q_OBJECT
public:
    static constexpr int kDefaultColWidth = 80;
    static constexpr int kGridLine = 1;   // line right of and below every cell
    static constexpr int kTextInset = 2;  // text starts 2 px right of and below the cell corner

    TGridView(QWidget *parent, int colCount, int rowCount, int rowHeight);

    int ColCount() const { return model_->columnCount(); }
    int RowCount() const { return model_->rowCount(); }
    // Widths without the grid line that follows each column.
    int ColWidth(int col) const { return columnWidth(col) - kGridLine; }
    void SetColWidth(int col, int width) { setColumnWidth(col, width + kGridLine); }

    QString Cells(int col, int row) const { return model_->Cells(col, row); }
    void SetCells(int col, int row, const QString &text) { model_->SetCells(col, row, text); }

    void SetFixedColors(const QColor &background, const QColor &text, const QFont &font);
    void SetRowSelect(bool rowSelect);
    bool RowSelect() const { return selectionBehavior() == SelectRows; }

    std::function<void(int col, int row, TGridDrawState state, TCellFormat &format)> OnDrawCell;
    std::function<void(int col, int row, bool &canSelect)> OnSelectCell;
    std::function<void()> OnDblClick;

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex &index,
                                                         const QEvent *event = nullptr) const override;
    void keyboardSearch(const QString &) override {}
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    friend class TGridDelegate;

    // Makes (col, row) the selected cell if it is a data cell and OnSelectCell allows it.
    bool trySelect(const QModelIndex &index);

    TGridModel *model_;
    TGridFont fixedFont_;
    TGridFont cellFont_;
    QColor fixedBackground_;
    QColor fixedText_;
    QColor lineColor_;
};
