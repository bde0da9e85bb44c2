#include "Lumo/Publisher.h"

#include <algorithm>
#include <vector>

#include "Lumo/Assert.h"
#include "Lumo/Node.h"

namespace Lumo {

Node::~Node() = default;

void Node::lastUserGone() { delete this; }

// Subscribers in order of subscription. A slot is nulled (not erased) while a
// delivery runs, so that the running loop's indices stay valid; the outermost
// delivery compacts the list afterwards.
struct Publisher::List {
    std::vector<Subscriber*> subs;
    std::uint32_t delivering = 0;
    bool holes = false;
};

Publisher::~Publisher() {
    LUMO_FMASSERT(noSubscribers() || list()->delivering == 0, "Lumo::Publisher",
                  "publisher destroyed while delivering a change");
    if (!noSubscribers()) delete list();
}

void Publisher::subscriberAdd(Subscriber* s) {
    LUMO_FMASSERT(s != nullptr, "Lumo::Publisher", "null subscriber");
    if (noSubscribers()) state_ = reinterpret_cast<std::uintptr_t>(new List);
    auto& subs = list()->subs;
    if (std::find(subs.begin(), subs.end(), s) == subs.end()) subs.push_back(s);
}

void Publisher::subscriberRemove(Subscriber* s) {
    if (noSubscribers()) return;
    List* l = list();
    auto it = std::find(l->subs.begin(), l->subs.end(), s);
    if (it == l->subs.end()) return;
    if (l->delivering) {
        *it = nullptr;
        l->holes = true;
        return;
    }
    l->subs.erase(it);
    if (l->subs.empty()) {
        delete l;
        state_ = kNoSubscriber;
    }
}

std::size_t Publisher::subscriberCount() const {
    if (noSubscribers()) return 0;
    auto const& subs = list()->subs;
    return std::size_t(std::count_if(subs.begin(), subs.end(), [](Subscriber* s) { return s; }));
}

void Publisher::compactAfterDelivery() {
    List* l = list();
    if (--l->delivering != 0 || !l->holes) return;
    std::erase(l->subs, nullptr);
    l->holes = false;
    if (l->subs.empty()) {
        delete l;
        state_ = kNoSubscriber;
    }
}

void Publisher::deliver(Change const& c) {
    List* l = list();
    ++l->delivering;
    // Subscribers added during the loop sit beyond `n` and wait for the next change.
    std::size_t const n = l->subs.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (Subscriber* s = l->subs[i]) s->onChange(c);
    }
    compactAfterDelivery();
}

void Publisher::notifyZeroReferences() {
    if (noSubscribers()) return;
    List* l = list();
    ++l->delivering;
    std::size_t const n = l->subs.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (Subscriber* s = l->subs[i]) s->onZeroReferences();
    }
    compactAfterDelivery();
}

}  // namespace Lumo
