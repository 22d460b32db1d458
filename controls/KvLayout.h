#pragma once
// Windows laid out from data: a window's layout is a static const table of
// creation aggregates (class, name, parent name, bounds, caption, images,
// font, Tag, ...), one row per control, read in order by one builder.
//
//   static const TControlSpec kLayout[] = {
//       {.kind = KvNew<TPanel>, .name = L"PanelClient", .left = 3, .width = 770, .height = 392},
//       {.kind = KvNew<TSkinButton>, .name = L"ButtonNext", .parentName = L"PanelClient",
//        .left = 518, .top = 345, .width = 100, .height = 33, .caption = L"Next",
//        .image = L"BUTTON1"},
//   };
//   BuildLayout(*this, kLayout, {.images = imageData->ImageList});

#include "controls/KvControls.h"

#include <span>
#include <vector>

// Makes every row's control, owned by window, on the row's parent (an
// earlier row's control by name, or the window itself), in table order;
// then runs Loaded on each of them in creation order, once all exist.
// A row whose parent name is unknown, or whose class is not a control, is
// logged and its control put on the window (or left out). Returns the made
// controls in table order.
std::vector<TControl*> BuildLayout(TWinControl& window, std::span<const TControlSpec> rows,
                                   const TLayoutContext& context = {});
