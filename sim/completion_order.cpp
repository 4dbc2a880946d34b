#include "sim/completion_order.h"

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <random>

namespace kelm {

struct Window {
    uint64_t ullRule = 0;
    uint32_t uiSize = 0;
    bool bShuffle = false;
    uint32_t uiSeed = 0;
    uint32_t uiPlaced = 0, uiFilled = 0;
    bool bClosed = false;
    std::vector<void *> completions;

    bool Open() const { return !bClosed && uiPlaced < uiSize; }
    bool Ready() const { return !Open() && uiFilled == uiPlaced; }
};

namespace {

struct RuleWindows {
    uint64_t ullRule;
    std::deque<std::shared_ptr<Window>> windows;  // oldest first
    bool bDelivering = false;
};

pthread_mutex_t g_windowLock = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: calls still running at exit are completed after static
// destructors have begun.
std::vector<RuleWindows> &Rules() {
    static auto *const pRules = new std::vector<RuleWindows>;
    return *pRules;
}

RuleWindows &RuleOf(uint64_t ullRule) {
    std::vector<RuleWindows> &rules = Rules();
    auto it = std::find_if(rules.begin(), rules.end(),
                           [&](const RuleWindows &stRule) { return stRule.ullRule == ullRule; });
    if (it != rules.end()) return *it;
    rules.push_back({ullRule, {}, false});
    return rules.back();
}

// With the lock held: the rule's oldest window in delivery order, when it is
// its turn; a rule with nothing more to hold is forgotten.
Batch Next(uint64_t ullRule) {
    RuleWindows &stRule = RuleOf(ullRule);
    Batch stBatch{ullRule, {}};
    if (stRule.bDelivering || stRule.windows.empty() || !stRule.windows.front()->Ready()) {
        if (!stRule.bDelivering && stRule.windows.empty()) {
            std::vector<RuleWindows> &rules = Rules();
            rules.erase(rules.begin() + (&stRule - rules.data()));
        }
        return stBatch;
    }
    const Window &stWindow = *stRule.windows.front();
    stBatch.completions.assign(stWindow.completions.begin(),
                               stWindow.completions.begin() + stWindow.uiPlaced);
    stRule.windows.pop_front();
    stRule.bDelivering = true;
    if (!stWindow.bShuffle) {
        std::reverse(stBatch.completions.begin(), stBatch.completions.end());
        return stBatch;
    }
    // Fisher-Yates with the standard's engine and no distribution, whose
    // results would differ between standard libraries.
    std::mt19937 rng(stWindow.uiSeed);
    std::vector<void *> &order = stBatch.completions;
    for (size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[static_cast<uint32_t>(rng()) % i]);
    }
    return stBatch;
}

}  // namespace

WindowPlace TakePlace(uint64_t ullRule, uint32_t uiSize, bool bShuffle, uint32_t uiSeed) {
    pthread_mutex_lock(&g_windowLock);
    RuleWindows &stRule = RuleOf(ullRule);
    if (stRule.windows.empty() || !stRule.windows.back()->Open()) {
        auto pWindow = std::make_shared<Window>();
        pWindow->ullRule = ullRule;
        pWindow->uiSize = uiSize;
        pWindow->bShuffle = bShuffle;
        pWindow->uiSeed = uiSeed;
        pWindow->completions.resize(uiSize);
        stRule.windows.push_back(pWindow);
    }
    WindowPlace stPlace{stRule.windows.back(), stRule.windows.back()->uiPlaced++};
    pthread_mutex_unlock(&g_windowLock);
    return stPlace;
}

Batch Fill(const WindowPlace &stPlace, void *pvCompletion) {
    pthread_mutex_lock(&g_windowLock);
    Window &stWindow = *stPlace.pWindow;
    stWindow.completions[stPlace.uiIndex] = pvCompletion;
    ++stWindow.uiFilled;
    Batch stBatch = Next(stWindow.ullRule);
    pthread_mutex_unlock(&g_windowLock);
    return stBatch;
}

Batch Delivered(uint64_t ullRule) {
    pthread_mutex_lock(&g_windowLock);
    RuleOf(ullRule).bDelivering = false;
    Batch stBatch = Next(ullRule);
    pthread_mutex_unlock(&g_windowLock);
    return stBatch;
}

std::vector<Batch> CloseWindows() {
    pthread_mutex_lock(&g_windowLock);
    std::vector<uint64_t> rules;
    for (RuleWindows &stRule : Rules()) {
        if (!stRule.windows.empty()) stRule.windows.back()->bClosed = true;
        rules.push_back(stRule.ullRule);
    }
    std::vector<Batch> ready;
    for (const uint64_t ullRule : rules) {
        Batch stBatch = Next(ullRule);
        if (!stBatch.completions.empty()) ready.push_back(std::move(stBatch));
    }
    pthread_mutex_unlock(&g_windowLock);
    return ready;
}

}  // namespace kelm
