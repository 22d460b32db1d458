// Placeholders for the scanners and the backup writer that later units bring.
// A unit that brings one removes its definition here and defines it itself.

#include "engine/qvScanners.h"

namespace {

// Loads nothing and finds nothing.
class TqvItemsPlaceholder : public TqvItems {
public:
    using TqvItems::TqvItems;
    void Scan() override {}
};

std::unique_ptr<TqvItems> Placeholder(TqvMain* Owner)
{
    return std::make_unique<TqvItemsPlaceholder>(Owner);
}

} // namespace

