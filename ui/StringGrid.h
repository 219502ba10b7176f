#pragma once
// A grid of text cells with one fixed row and one fixed column, painted by us
// so that the owner can draw over each cell after the default painting.
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

struct TGridDrawState {
    bool fixed = false;
    bool selected = false;
    bool focused = false;
};

// What a cell-drawing handler paints with: a font and its colour, and text at a point.
class TCanvas {
    QPainter &painter_;
    QString lastText_;

public:
    TCanvas(QPainter &painter, QFont font, QColor color)
        : painter_(painter), Font(std::move(font)), FontColor(std::move(color)) {}
    void TextOut(int x, int y, const QString &text);
    const QString &LastText() const { return lastText_; }

    QFont Font;
    QColor FontColor;
};

class TStringGrid : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultColWidth = 80;
    static constexpr int kTextInset = 2;  // text starts 2 px right of and below the cell corner

    TStringGrid(QWidget *parent, int colCount, int rowCount, int rowHeight);

    int ColCount() const { return colCount_; }
    int RowCount() const { return rowCount_; }
    int ColWidth(int col) const;
    void SetColWidth(int col, int width);
    int RowHeight() const { return rowHeight_; }

    QString Cells(int col, int row) const;
    void SetCells(int col, int row, const QString &text);

    void SetFixedColors(const QColor &background, const QColor &text, const QFont &font);
    void SetRowSelect(bool rowSelect) { rowSelect_ = rowSelect; }
    bool RowSelect() const { return rowSelect_; }

    int Col() const { return col_; }
    int Row() const { return row_; }
    // Selects a data cell as a click would: asks OnSelectCell first.
    bool SelectCell(int col, int row);

    // Cell geometry, for tests and for clicks.
    QRect CellRect(int col, int row) const;
    bool CellAt(const QPoint &pos, int &col, int &row) const;

    // The text the last paint drew in a cell (the default text or the
    // drawing handler's, whichever came last).
    QString DrawnText(int col, int row) const;

    std::function<void(int col, int row, const QRect &rect, TGridDrawState state, TCanvas &canvas)> OnDrawCell;
    std::function<void(int col, int row, bool &canSelect)> OnSelectCell;
    std::function<void()> OnDblClick;

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool isSelected(int col, int row) const;
    size_t index(int col, int row) const { return static_cast<size_t>(row * colCount_ + col); }
    bool inRange(int col, int row) const { return col >= 0 && col < colCount_ && row >= 0 && row < rowCount_; }

    int colCount_;
    int rowCount_;
    int rowHeight_;
    std::vector<int> colWidths_;
    std::vector<QString> cells_;
    std::vector<QString> drawn_;
    QColor fixedBackground_;
    QColor fixedText_;
    QFont fixedFont_;
    bool rowSelect_ = false;
    int col_ = 1;
    int row_ = 1;
};
