#pragma once
// The two shared-memory tables as one process mounts them and services them
// from its own loop: each entry map in one role, each write-response map in
// another (a user agent: writer / shadow; a hardware agent: shadow /
// writer; an observer: shadow / shadow).
#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include "Mem/Sentry.h"
#include "VexSharedMem/CollectionControl.h"
#include "Vorn/MapDescriptor.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "X2/Default/IngVlanTagActionProfileTable.h"

namespace hwsim {

struct SharedTables {
    using Egr = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
    using Ing = bcm56275_a0::Default::IngVlanTagActionProfileTable;

    Lumo::Ptr<Vex::Entity> parent;
    Lumo::Ptr<Egr> egr;
    Lumo::Ptr<Ing> ing;
    VexSharedMem::Mounter mounter;

    // Both tables under parent entity `entity` (maps "<root>/<entity>/<table>/
    // entry" and ".../writeResponse"); `buckets` sizes every map.
    SharedTables(std::string const& entity, Vorn::VornType entryRole, Vorn::VornType responseRole,
                 std::uint32_t buckets = 128) {
        parent = new Vex::Entity(entity);
        egr = new Egr("EgrVlanTagActionProfileTable");
        ing = new Ing("IngVlanTagActionProfileTable");
        parent->childIs(egr);
        parent->childIs(ing);
        auto mount = [&](auto const& control, Vorn::VornType role) {
            Vorn::MapDescriptor d(buckets);
            d.type = role;
            mounter.mount(control, d);
        };
        // Entries first: a reader services its maps in this order, so it
        // tends to hear of an entry before its write response.
        mount(egr->entryControl(), entryRole);
        mount(ing->entryControl(), entryRole);
        mount(egr->writeResponseControl(), responseRole);
        mount(ing->writeResponseControl(), responseRole);
    }
    template <class F>
    void forEachMap(F f) {
        f(egr->entryMap());
        f(egr->writeResponseMap());
        f(ing->entryMap());
        f(ing->writeResponseMap());
    }
    // Services every map once (reader maps hand their changes to the
    // tables, which publish them); true while work remains.
    bool service() { return mounter.poll(); }
    // Sleeps in the maps' descriptors (and `extra`) for up to `ms`, unless
    // a map has work to do first.
    void wait(int ms, int extra = -1) {
        std::vector<pollfd> p;
        bool ready = true;
        forEachMap([&](auto& m) {
            if (m.fd() < 0) return;
            ready = ready && m.prepareToWait();
            p.push_back({m.fd(), POLLIN, 0});
        });
        if (!ready) return;
        if (extra >= 0) p.push_back({extra, POLLIN, 0});
        ::poll(p.data(), nfds_t(p.size()), ms);
    }
    // Services, and waits only when nothing was left to do.
    void step(int ms, int extra = -1) {
        if (!service()) wait(ms, extra);
    }
    // Every map mounted and quiet, and every reader map's writer alive.
    bool settled() {
        if (service()) return false;
        bool ok = true;
        forEachMap([&](auto& m) {
            if (m.fd() < 0) return;
            auto* s = dynamic_cast<Mem::ReaderSentry*>(m.mounter());
            ok = ok && m.mountStatus() == Vorn::mounted && m.quiesced() && (!s || s->writerStillThere());
        });
        return ok;
    }
    // Until every map is mounted and quiet; false after `ms`.
    bool mountAll(int ms) {
        using Clock = std::chrono::steady_clock;
        auto const end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            bool all = true;
            forEachMap([&](auto& m) { all = all && m.mountStatus() == Vorn::mounted && m.quiesced(); });
            if (all) return true;
            if (Clock::now() > end) return false;
            step(20);
        }
    }
};

}  // namespace hwsim
