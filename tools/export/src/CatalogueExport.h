// qnv-export's second form: a camera's time span (or an event) found in a
// recordings catalogue and written as one MP4 across segments.
#ifndef QNVEXPORT_CATALOGUEEXPORT_H
#define QNVEXPORT_CATALOGUEEXPORT_H

// qnv-export's exit statuses, beside the tools' kExitOk: its 1 is a damaged
// recording and its 2 any error, bad arguments included.
constexpr int kExitDamaged = 1;
constexpr int kExitError = 2;

// True when the command line asks for it (--catalogue, and not --help or --version).
bool IsCatalogueExport(int argc, char** argv);
int RunCatalogueExport(int argc, char** argv);
// Its usage lines, its paragraph and its options, for --help.
extern const char kCatalogueUsage[];
extern const char kCatalogueHelp[];
extern const char kCatalogueOptions[];

#endif  // QNVEXPORT_CATALOGUEEXPORT_H
