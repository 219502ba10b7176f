#include "widgets/GridView.h"

#include <QAbstractItemDelegate>
#include <QHeaderView>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QStyleFactory>

#include <algorithm>

namespace {
QFont Bold(QFont font)
{
    font.setBold(true);
    return font;
}

// The delegate paints every pixel of a cell, lines included, so the row panel
// the view asks the style for under each cell would only be painted over.
class TNoRowPanelStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override
    {
        if (element != PE_PanelItemViewRow)
            QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};
}  // namespace

TGridFont::TGridFont(const QFont &font) : regular(font), bold(Bold(font))
{
}

TGridModel::TGridModel(QObject *parent, int colCount, int rowCount)
    : QAbstractTableModel(parent), colCount_(colCount), rowCount_(rowCount),
      cells_(static_cast<size_t>(colCount * rowCount))
{
}

int TGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rowCount_;
}

int TGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : colCount_;
}

QVariant TGridModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || !inRange(index.column(), index.row()))
        return {};
    return cells_[at(index.column(), index.row())];
}

Qt::ItemFlags TGridModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.row() == 0 || index.column() == 0)
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QString TGridModel::Cells(int col, int row) const
{
    return inRange(col, row) ? cells_[at(col, row)] : QString();
}

void TGridModel::SetCells(int col, int row, const QString &text)
{
    if (!inRange(col, row))
        return;
    QString &cell = cells_[at(col, row)];
    if (cell == text)
        return;
    cell = text;
    const QModelIndex changed = index(row, col);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

// A cell's background and lines, then the model's text in the owner's format.
class TGridDelegate final : public QAbstractItemDelegate {
public:
    explicit TGridDelegate(TGridView *grid) : QAbstractItemDelegate(grid), grid_(grid) {}

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const int col = index.column();
        const int row = index.row();
        TGridDrawState state;
        state.fixed = col == 0 || row == 0;
        state.selected = !state.fixed && option.state.testFlag(QStyle::State_Selected);
        state.focused = state.selected && option.state.testFlag(QStyle::State_HasFocus);
        const QPalette::ColorGroup group = option.state.testFlag(QStyle::State_Active) ? QPalette::Active
                                                                                       : QPalette::Inactive;
        QColor background;
        QColor text;
        if (state.fixed) {
            background = grid_->fixedBackground_;
            text = grid_->fixedText_;
        } else if (state.selected) {
            background = option.palette.color(group, QPalette::Highlight);
            text = option.palette.color(group, QPalette::HighlightedText);
        } else {
            background = option.palette.color(group, QPalette::Base);
            text = option.palette.color(group, QPalette::Text);
        }

        // The line right of and below the cell belongs to its section.
        const QRect &r = option.rect;
        constexpr int line = TGridView::kGridLine;
        painter->fillRect(QRect(r.right() - line + 1, r.top(), line, r.height()), grid_->lineColor_);
        painter->fillRect(QRect(r.left(), r.bottom() - line + 1, r.width() - line, line), grid_->lineColor_);
        const QRect cell = r.adjusted(0, 0, -line, -line);
        painter->fillRect(cell, background);

        const QString shown = index.data().toString();
        if (shown.isEmpty())
            return;
        TCellFormat format{false, text};
        if (grid_->OnDrawCell)
            grid_->OnDrawCell(col, row, state, format);
        const TGridFont &font = state.fixed ? grid_->fixedFont_ : grid_->cellFont_;
        painter->save();
        painter->setClipRect(cell);
        painter->setPen(format.color);
        (format.bold ? font.bold : font.regular)
            .Draw(*painter, cell.left() + TGridView::kTextInset, cell.top() + TGridView::kTextInset, shown);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &index) const override
    {
        return {grid_->columnWidth(index.column()), grid_->rowHeight(index.row())};
    }

private:
    TGridView *grid_;
};

TGridView::TGridView(QWidget *parent, int colCount, int rowCount, int rowHeight)
    : QTableView(parent), model_(new TGridModel(this, colCount, rowCount)), fixedFont_(font()), cellFont_(font()),
      fixedBackground_(palette().color(QPalette::Button)), fixedText_(palette().color(QPalette::WindowText)),
      lineColor_(palette().color(QPalette::Dark))
{
    setModel(model_);
    setItemDelegate(new TGridDelegate(this));
    auto *gridStyle = new TNoRowPanelStyle(QStyleFactory::create(style()->name()));
    gridStyle->setParent(this);
    setStyle(gridStyle);
    // The fixed row and column are cells of the table, not header sections.
    for (QHeaderView *header : {horizontalHeader(), verticalHeader()}) {
        header->hide();
        header->setMinimumSectionSize(1);
        header->setSectionResizeMode(QHeaderView::Fixed);
    }
    horizontalHeader()->setDefaultSectionSize(kDefaultColWidth + kGridLine);
    verticalHeader()->setDefaultSectionSize(rowHeight + kGridLine);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setShowGrid(false);  // the delegate draws the lines with the cells
    setEditTriggers(NoEditTriggers);
    setSelectionMode(SingleSelection);
    setSelectionBehavior(SelectItems);
    setTabKeyNavigation(false);
    setAutoScroll(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setFocusPolicy(Qt::StrongFocus);
    // Beyond the last cell the grid shows its line colour, as between cells.
    QPalette pal = viewport()->palette();
    pal.setColor(QPalette::Base, lineColor_);
    viewport()->setPalette(pal);
    // The first data cell is selected from the start, without asking the owner.
    setCurrentIndex(model_->index(1, 1));
}

void TGridView::SetFixedColors(const QColor &background, const QColor &text, const QFont &font)
{
    fixedBackground_ = background;
    fixedText_ = text;
    fixedFont_ = TGridFont(font);
    viewport()->update();
}

void TGridView::SetRowSelect(bool rowSelect)
{
    setSelectionBehavior(rowSelect ? SelectRows : SelectItems);
    selectionModel()->setCurrentIndex(currentIndex(),
                                      QItemSelectionModel::ClearAndSelect |
                                          (rowSelect ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
}

bool TGridView::trySelect(const QModelIndex &index)
{
    if (!index.isValid() || index.row() == 0 || index.column() == 0)
        return false;
    bool canSelect = true;
    if (OnSelectCell)
        OnSelectCell(index.column(), index.row(), canSelect);
    if (!canSelect)
        return false;
    selectionModel()->setCurrentIndex(index,
                                      QItemSelectionModel::ClearAndSelect |
                                          (RowSelect() ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
    return true;
}

QModelIndex TGridView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    const QModelIndex current = currentIndex();
    const QModelIndex moved = QTableView::moveCursor(cursorAction, modifiers);
    if (!moved.isValid())
        return current;
    // The keys never leave the data cells.
    const QModelIndex target = model_->index(std::max(1, moved.row()), std::max(1, moved.column()));
    if (target == current)
        return current;
    bool canSelect = true;
    if (OnSelectCell)
        OnSelectCell(target.column(), target.row(), canSelect);
    return canSelect ? target : current;
}

// A grid always has its selected cell (or row): the item view's own way to
// deselect or toggle it, Ctrl with Space, an arrow key or a click, selects the
// cell instead, as any other key or click does.
QItemSelectionModel::SelectionFlags TGridView::selectionCommand(const QModelIndex &index, const QEvent *event) const
{
    const QItemSelectionModel::SelectionFlags command = QTableView::selectionCommand(index, event);
    if (!command.testAnyFlags(QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
        return command;
    return QItemSelectionModel::ClearAndSelect |
           (RowSelect() ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate);
}

// Only the left button selects; the other buttons do nothing at all.
void TGridView::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    setFocus(Qt::MouseFocusReason);
    trySelect(indexAt(event->position().toPoint()));
}

// Dragging does not move the selection.
void TGridView::mouseMoveEvent(QMouseEvent *event)
{
    event->accept();
}

void TGridView::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
}

// A double click acts on the cell last selected, wherever it lands.
void TGridView::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && OnDblClick)
        OnDblClick();
}

void TGridView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        cellFont_ = TGridFont(font());
    QTableView::changeEvent(event);
}
