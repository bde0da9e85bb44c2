#pragma once
// The result of attaching one file of a shared-memory map (slot file, bucket
// file, notification channel). A map's attach returns the three OR-ed, so
// the values are bits: any other value is a bug of the part that returned it.
namespace Vorn {

enum AttachResult : int {
    attachNew = 1,       // the file did not exist (or was empty) and was created
    attachExisting = 2,  // an existing file was mapped and its header validated
    attachInvalid = 8,   // an existing file failed validation (message() says why)
};

constexpr bool validAttachResult(int r) { return r == attachNew || r == attachExisting || r == attachInvalid; }

}  // namespace Vorn
