#pragma once
// How far a map's current implementation is mounted. Reported by writers,
// readers and shadows, handed to the owner's mount-status callback and to
// its collection control. An unscoped enum of int values: the numbers are
// what the platform's collection controls carry.
namespace Vorn {

enum MountStatus : int {
    notMounted = 0,       // no files attached (also a placeholder or a detached reader)
    mounted = 1,          // attached; for a shadow: its first synchronisation completed
    synchronizing = 2,    // a shadow attached but not yet through its first synchronisation
    flushInProgress = 3,  // a shadow detached and still reporting its keys gone
};

}  // namespace Vorn
