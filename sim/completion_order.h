// Completions held back in windows and delivered in another order than the
// calls were made (a fault plan's "complete": "reverse" or "shuffle"). What a
// completion is stays the loopback's: here it is an opaque pointer.
#ifndef KELM_COMPLETION_ORDER_H
#define KELM_COMPLETION_ORDER_H

#include <stdint.h>

#include <memory>
#include <vector>

namespace kelm {

struct Window;

struct WindowPlace {
    std::shared_ptr<Window> pWindow;  // null: the call completes in its turn
    uint32_t uiIndex = 0;
};

// Completions to deliver one after another, in this order. A rule's windows
// are delivered one at a time and in the order they opened: once a batch is
// delivered, Delivered gives the next one of its rule, if it is ready.
struct Batch {
    uint64_t ullRule = 0;
    std::vector<void *> completions;
};

// At hand-over, in the callers' order: the call's place in the open window
// of the rule ullRule names (a new window of uiSize places when none is open).
WindowPlace TakePlace(uint64_t ullRule, uint32_t uiSize, bool bShuffle, uint32_t uiSeed);

// Keeps the completion of the call at stPlace. A batch once every place of
// the rule's oldest window (or of a closed one, every place taken) holds its
// completion and no batch of the rule is being delivered.
Batch Fill(const WindowPlace &stPlace, void *pvCompletion);

Batch Delivered(uint64_t ullRule);

// Closes every open window, so that one not full is delivered with the calls
// it holds; returns the batches ready now (the others follow from Fill).
std::vector<Batch> CloseWindows();

}  // namespace kelm

#endif
