#include "StringGrid.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace {
constexpr int kGridLine = 1;
}

void TCanvas::TextOut(int x, int y, const QString &text)
{
    painter_.setFont(Font);
    painter_.setPen(FontColor);
    const QFontMetrics fm(Font);
    painter_.drawText(QPoint(x, y + fm.ascent()), text);
    lastText_ = text;
}

TStringGrid::TStringGrid(QWidget *parent, int colCount, int rowCount, int rowHeight)
    : QWidget(parent),
      colCount_(colCount),
      rowCount_(rowCount),
      rowHeight_(rowHeight),
      colWidths_(static_cast<size_t>(colCount), kDefaultColWidth),
      cells_(static_cast<size_t>(colCount * rowCount)),
      drawn_(static_cast<size_t>(colCount * rowCount)),
      fixedBackground_(palette().color(QPalette::Button)),
      fixedText_(palette().color(QPalette::WindowText)),
      fixedFont_(font())
{
    setFocusPolicy(Qt::StrongFocus);
}

int TStringGrid::ColWidth(int col) const
{
    return col >= 0 && col < colCount_ ? colWidths_[static_cast<size_t>(col)] : 0;
}

void TStringGrid::SetColWidth(int col, int width)
{
    if (col >= 0 && col < colCount_) {
        colWidths_[static_cast<size_t>(col)] = width;
        update();
    }
}

QString TStringGrid::Cells(int col, int row) const
{
    return inRange(col, row) ? cells_[index(col, row)] : QString();
}

void TStringGrid::SetCells(int col, int row, const QString &text)
{
    if (inRange(col, row)) {
        cells_[index(col, row)] = text;
        update();
    }
}

QString TStringGrid::DrawnText(int col, int row) const
{
    return inRange(col, row) ? drawn_[index(col, row)] : QString();
}

void TStringGrid::SetFixedColors(const QColor &background, const QColor &text, const QFont &font)
{
    fixedBackground_ = background;
    fixedText_ = text;
    fixedFont_ = font;
    update();
}

QRect TStringGrid::CellRect(int col, int row) const
{
    if (!inRange(col, row))
        return {};
    int x = 0;
    for (int c = 0; c < col; ++c)
        x += colWidths_[static_cast<size_t>(c)] + kGridLine;
    const int y = row * (rowHeight_ + kGridLine);
    return QRect(x, y, colWidths_[static_cast<size_t>(col)], rowHeight_);
}

bool TStringGrid::CellAt(const QPoint &pos, int &col, int &row) const
{
    for (int r = 0; r < rowCount_; ++r)
        for (int c = 0; c < colCount_; ++c)
            if (CellRect(c, r).adjusted(0, 0, kGridLine, kGridLine).contains(pos)) {
                col = c;
                row = r;
                return true;
            }
    return false;
}

bool TStringGrid::isSelected(int col, int row) const
{
    if (col == 0 || row == 0)
        return false;
    return rowSelect_ ? row == row_ : (col == col_ && row == row_);
}

bool TStringGrid::SelectCell(int col, int row)
{
    // Fixed cells cannot be selected.
    if (!inRange(col, row) || col == 0 || row == 0)
        return false;
    bool canSelect = true;
    if (OnSelectCell)
        OnSelectCell(col, row, canSelect);
    if (!canSelect)
        return false;
    col_ = col;
    row_ = row;
    update();
    return true;
}

void TStringGrid::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Dark));  // grid lines show through the gaps
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    const QColor highlight = palette().color(QPalette::Highlight);
    const QColor highlightText = palette().color(QPalette::HighlightedText);
    for (int r = 0; r < rowCount_; ++r) {
        for (int c = 0; c < colCount_; ++c) {
            const QRect cell = CellRect(c, r);
            TGridDrawState state;
            state.fixed = c == 0 || r == 0;
            state.selected = isSelected(c, r);
            state.focused = state.selected && hasFocus();
            QColor bg = state.fixed ? fixedBackground_ : (state.selected ? highlight : base);
            QColor fg = state.fixed ? fixedText_ : (state.selected ? highlightText : text);
            p.fillRect(cell, bg);
            TCanvas canvas(p, state.fixed ? fixedFont_ : font(), fg);
            p.save();
            p.setClipRect(cell);
            const QString &own = cells_[index(c, r)];
            if (!own.isEmpty())
                canvas.TextOut(cell.left() + kTextInset, cell.top() + kTextInset, own);
            if (OnDrawCell)
                OnDrawCell(c, r, cell, state, canvas);
            p.restore();
            drawn_[index(c, r)] = canvas.LastText();
        }
    }
}

void TStringGrid::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    int c = 0;
    int r = 0;
    if (CellAt(event->position().toPoint(), c, r))
        SelectCell(c, r);
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent *)
{
    if (OnDblClick)
        OnDblClick();
}

void TStringGrid::keyPressEvent(QKeyEvent *event)
{
    int c = col_;
    int r = row_;
    switch (event->key()) {
    case Qt::Key_Left: --c; break;
    case Qt::Key_Right: ++c; break;
    case Qt::Key_Up: --r; break;
    case Qt::Key_Down: ++r; break;
    default: QWidget::keyPressEvent(event); return;
    }
    SelectCell(c, r);
}
