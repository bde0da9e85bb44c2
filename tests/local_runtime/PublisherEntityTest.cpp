// Publication, watchers, entities of the state tree, counted pointers and
// the memory layer's end-of-life routine.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "Lumo/Node.h"
#include "Lumo/Publisher.h"
#include "Pell/Core/EntityDestructor.h"
#include "Vex/Entity.h"

namespace {

struct Seen {
    Lumo::FieldId field;
    bool hasKey;
    std::uint32_t key;
    bool recursive;
    int previous;  // -1: none
    friend bool operator==(Seen const&, Seen const&) = default;
};

// Records every change it is given, in order.
class Recorder : public Lumo::Subscriber {
public:
    void onChange(Lumo::Change const& c) override {
        seen.push_back({c.fieldId, c.key.hasKey(), c.key.index(), c.recursive,
                        c.previous ? *static_cast<int const*>(c.previous) : -1});
        if (onEach) onEach(c);
    }
    std::vector<Seen> seen;
    std::function<void(Lumo::Change const&)> onEach;
};

bool intEq(void const* a, void const* b) { return *static_cast<int const*>(a) == *static_cast<int const*>(b); }

TEST(LocalRuntimePublisher, NoSubscriberStateIsTheWordOne) {
    Lumo::Publisher p;
    EXPECT_TRUE(p.noSubscribers());
    EXPECT_EQ(p.stateWord(), 1u);
    p.publishChange(770, 3);  // nobody: nothing happens
    Recorder r;
    p.subscriberAdd(&r);
    EXPECT_FALSE(p.noSubscribers());
    EXPECT_NE(p.stateWord(), 1u);
    p.subscriberAdd(&r);  // twice is once
    EXPECT_EQ(p.subscriberCount(), 1u);
    p.subscriberRemove(&r);
    EXPECT_TRUE(p.noSubscribers());
    EXPECT_EQ(p.stateWord(), 1u);
    p.subscriberRemove(&r);  // not subscribed: nothing
    EXPECT_TRUE(r.seen.empty());
}

TEST(LocalRuntimePublisher, DeliversEveryChangeToEverySubscriberInOrder) {
    Lumo::Publisher p;
    Recorder a, b;
    p.subscriberAdd(&a);
    p.subscriberAdd(&b);
    int prev = 41;
    p.publishChange(770, 5);
    p.publishChange(775, Lumo::ChangeKey::none());
    p.publishChangeRecursive(772, 9, &prev, &intEq);
    p.publishChangeRecursive(772, 10, nullptr, &intEq);
    std::vector<Seen> const want = {{770, true, 5, false, -1},
                                    {775, false, 0, false, -1},
                                    {772, true, 9, true, 41},
                                    {772, true, 10, true, -1}};
    EXPECT_EQ(a.seen, want);
    EXPECT_EQ(b.seen, want);
}

TEST(LocalRuntimePublisher, SubscribersMayLeaveAndJoinDuringDelivery) {
    Lumo::Publisher p;
    Recorder a, b, c;
    // a removes b and itself, and adds c, on the first change.
    a.onEach = [&](Lumo::Change const&) {
        p.subscriberRemove(&b);
        p.subscriberRemove(&a);
        p.subscriberAdd(&c);
        a.onEach = nullptr;
    };
    p.subscriberAdd(&a);
    p.subscriberAdd(&b);
    p.publishChange(1, 1);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_TRUE(b.seen.empty()) << "removed before its turn";
    EXPECT_TRUE(c.seen.empty()) << "added during delivery: waits for the next change";
    p.publishChange(2, 2);
    EXPECT_EQ(a.seen.size(), 1u);
    ASSERT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(c.seen[0].field, 2u);
    EXPECT_EQ(p.subscriberCount(), 1u);
    p.subscriberRemove(&c);
    EXPECT_TRUE(p.noSubscribers());
}

class Watcher : public Vex::NotifieeConst {
public:
    void onAttribute(Lumo::FieldId f, void const* key) override {
        got.emplace_back(f, key ? std::int64_t(*static_cast<std::uint32_t const*>(key)) : -1);
    }
    void onZeroReferences() override { ++zero; }
    std::vector<std::pair<Lumo::FieldId, std::int64_t>> got;
    int zero = 0;
};

TEST(LocalRuntimeNotifiee, OnAttributeGetsKeyOrNullAndCanBeSwitchedOff) {
    Lumo::Ptr<Vex::Entity> e(new Vex::Entity("t"));
    Lumo::Ptr<Watcher> w(new Watcher);
    w->notifierIs(e.ptr());
    EXPECT_EQ(w->publisher(), &e->publisher());
    e->publisher().publishChange(770, 12);
    e->publisher().publishChange(775, Lumo::ChangeKey::none());
    w->isRegisteredNotifieeIs(false);
    e->publisher().publishChange(770, 13);
    w->isRegisteredNotifieeIs(true);
    e->publisher().publishChangeRecursive(772, 14, nullptr, nullptr);
    using P = std::pair<Lumo::FieldId, std::int64_t>;
    EXPECT_EQ(w->got, (std::vector<P>{{770, 12}, {775, -1}, {772, 14}}));
    w = nullptr;  // destroying the watcher unsubscribes it
    EXPECT_TRUE(e->publisher().noSubscribers());
}

class CountedEntity : public Vex::Entity {
public:
    CountedEntity(std::string n, int* dead) : Vex::Entity(std::move(n)), dead_(dead) {}
    ~CountedEntity() override { ++*dead_; }
    void handleParent(Lumo::Ptr<Vex::Entity> const& p) override { parents.push_back(Vex::fetchName(p)); }
    std::vector<std::string> parents;

private:
    int* dead_;
};

TEST(LocalRuntimeEntity, TreeNamesParentsAndHandleParent) {
    int dead = 0;
    Lumo::Ptr<Vex::Entity> root(new Vex::Entity("agent"));
    Lumo::Ptr<Vex::Entity> dir(new Vex::Entity("tables"));
    root->childIs(dir);
    auto* leaf = new CountedEntity("IsecSaTable", &dead);
    dir->childIs(Lumo::Ptr<Vex::Entity>(leaf));
    EXPECT_EQ(leaf->fullName(), "/agent/tables/IsecSaTable");
    EXPECT_EQ(leaf->parents, (std::vector<std::string>{"tables"}));
    EXPECT_EQ(Vex::fetchName(leaf->parent()), "tables");
    EXPECT_EQ(Vex::fetchName(static_cast<Vex::Entity const*>(nullptr)), "");
    EXPECT_EQ(dir->child("IsecSaTable").ptr(), leaf);
    EXPECT_EQ(leaf->useCount(), 1u) << "the parent holds one use";
    // The base handleParent does nothing; a plain entity accepts a parent.
    Lumo::Ptr<Vex::Entity> other(new Vex::Entity("x"));
    other->parentIs(root);
    EXPECT_EQ(other->fullName(), "/agent/x");
    // A child of another parent is refused; so is a cycle.
    Lumo::Ptr<Vex::Entity> root2(new Vex::Entity("r2"));
    EXPECT_THROW(root2->childIs(Lumo::Ptr<Vex::Entity>(leaf)), Lumo::RangeException);
    EXPECT_THROW(dir->childIs(root), Lumo::RangeException);
    EXPECT_TRUE(dir->childDel("IsecSaTable"));
    EXPECT_EQ(dead, 1) << "the parent's use was the last";
    EXPECT_FALSE(dir->childDel("IsecSaTable"));
}

// A watcher that keeps the entity alive once when its last use goes.
class Rescuer : public Vex::NotifieeConst {
public:
    explicit Rescuer(Vex::Entity* e) : e_(e) {}
    void onZeroReferences() override {
        kept = Lumo::Ptr<Vex::Entity>(e_);
        publisherIs(nullptr);
    }
    Lumo::Ptr<Vex::Entity> kept;

private:
    Vex::Entity* e_;
};

TEST(LocalRuntimeEntity, LastUserGoneLetsAWatcherKeepTheEntity) {
    int dead = 0;
    auto* e = new CountedEntity("t", &dead);
    Lumo::Ptr<Rescuer> r(new Rescuer(e));
    r->notifierIs(e);
    {
        Lumo::Ptr<Vex::Entity> p(e);
    }
    EXPECT_EQ(dead, 0) << "rescued by its watcher";
    EXPECT_EQ(e->useCount(), 1u);
    r->kept = nullptr;
    EXPECT_EQ(dead, 1);
}

class Chain : public Lumo::Node {
public:
    Chain(Lumo::Ptr<Chain> next, std::vector<int>* order, int id) : next_(std::move(next)), order_(order), id_(id) {}
    ~Chain() override { order_->push_back(id_); }
    void lastUserGone() override { Pell::Core::Memory::Entity::Destructor::cleanup(this); }

private:
    Lumo::Ptr<Chain> next_;
    std::vector<int>* order_;
    int id_;
};

TEST(LocalRuntimeCleanup, LongChainsAreDestroyedWithoutDeepRecursion) {
    std::vector<int> order;
    Lumo::Ptr<Chain> head;
    int const n = 200000;  // would overflow the stack if destroyed recursively
    for (int i = n - 1; i >= 0; --i) head = Lumo::Ptr<Chain>(new Chain(head, &order, i));
    head = nullptr;
    ASSERT_EQ(order.size(), std::size_t(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(order[std::size_t(i)], i);
}

TEST(LocalRuntimePtr, CountsAndFlags) {
    int dead = 0;
    auto* e = new CountedEntity("n", &dead);
    Lumo::Ptr<Vex::Entity> a(e);
    Lumo::Ptr<Vex::Entity> b = a;
    EXPECT_EQ(e->useCount(), 2u);
    Lumo::Ptr<Vex::Entity> c = std::move(b);
    EXPECT_EQ(e->useCount(), 2u);
    EXPECT_FALSE(b);
    e->nodeFlagSet(Lumo::kNodeFlagDestroying, true);
    EXPECT_TRUE(e->nodeFlag(Lumo::kNodeFlagDestroying));
    e->nodeFlagSet(Lumo::kNodeFlagDestroying, false);
    EXPECT_FALSE(e->nodeFlag(Lumo::kNodeFlagDestroying));
    a = nullptr;
    EXPECT_EQ(dead, 0);
    c = nullptr;
    EXPECT_EQ(dead, 1);
}

}  // namespace
