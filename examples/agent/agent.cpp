// Builds an entry, stores it in a local table and hears of the change.
#include <cstdio>
#include "X2/Default/MirrorControlTable.h"
using bcm56275_a0::Default::MirrorControlTable;

struct Watcher : Vex::NotifieeConst {  // told of every change of the table it watches
    void onAttribute(Lumo::FieldId id, void const* key) override {
        std::printf("attribute %u changed at index %u\n", unsigned(id), key ? *static_cast<unsigned const*>(key) : 0u);
    }
};

int main() {
    Lumo::Ptr<MirrorControlTable> table(new MirrorControlTable("mirrors"));
    Watcher watcher;
    watcher.publisherIs(&table->publisher());  // subscribe
    MirrorControlTable::Entry entry;
    entry.mEnableIs(1);
    table->entryIs(5, entry);  // store: the watcher hears attribute 770 (entry) at index 5
    return table->entry(5).mEnable() == 1 ? 0 : 1;
}
