# The folders whose window texts the English catalogue covers, from the
# repository root: every tr() and QT_TRANSLATE_NOOP in them has an entry.
set(TALVEX_CATALOGUE_SOURCE_DIRS ui widgets modbus firmware app)
