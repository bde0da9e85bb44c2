// The reflection interface, driven as the entity framework drives it: by
// table name only. For every table of the hand-made expectations, find each
// type by its full name, then check the attribute ids of the entry rule, the
// status word of every operation code, the whole-value operations,
// construction from constructor arguments, hashing, text, the table entity's
// collections and both iterator kinds. Field values by id are checked
// against the bit model in FieldModelTest.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ExpectedTables.h"
#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"
#include "Pell/Core/Collection.h"
#include "Vex/Alloc.h"
#include "Vex/Entity.h"
#include "Vex/Hash.h"
#include "VexVorn/CollectionControl.h"
#include "X2/Default/All.h"

namespace {

using Lumo::FieldDescriptor;
using Lumo::Inspect::FoundType;
using Lumo::Inspect::TypeGlue;

constexpr char kNs[] = "bcm56275_a0::Default::";

FoundType find(std::string const& name) {
    FoundType f = Lumo::Inspect::findType(name);
    EXPECT_TRUE(f) << name;
    return f;
}

// A value of a reflected type in its own storage, made and destroyed through its glue.
class Value {
public:
    explicit Value(TypeGlue const& g, void const* from = nullptr)
        : g_(g), p_(::operator new(g.size, std::align_val_t(g.align))) {
        g_.inspectConstruct(p_, from);
    }
    ~Value() {
        g_.inspectDestroy(p_);
        ::operator delete(p_, std::align_val_t(g_.align));
    }
    Value(Value const&) = delete;
    Value& operator=(Value const&) = delete;
    void* get() const { return p_; }
    std::uint32_t op(unsigned char op, void* result, std::optional<Lumo::FieldId> id = {}, void* key = nullptr,
                     void* value = nullptr) const {
        return g_.inspectOperation(result, p_, id ? FieldDescriptor(*id) : FieldDescriptor(), op, key, value);
    }

private:
    TypeGlue const& g_;
    void* p_;
};

std::string messageOf(auto&& f) {
    try {
        f();
    } catch (Lumo::Exception const& e) {
        return e.msg();
    }
    return "(no exception)";
}

// Status word: the code in the low byte, the op code above it.
std::uint32_t st(unsigned char op, unsigned code) { return (std::uint32_t(op) << 8) | code; }

// The types of one table, as the framework finds them by name.
struct Types {
    std::string table;
    FoundType index, memId, dataIndex, entry, writeResponse, entity;
    std::vector<FoundType> bytes;
};

Types typesOf(ExpectedTable const& x) {
    Types t;
    t.table = std::string(kNs) + x.name;
    std::string const e = t.table + "::Entry";
    t.index = find(e + "::Index");
    t.memId = find(e + "::DataMemId");
    t.dataIndex = find(e + "::DataIndex");
    for (unsigned k = 0; k < x.arrays.size(); ++k) t.bytes.push_back(find(e + "::DataByte" + std::to_string(k) + "Index"));
    t.entry = find(e);
    if (std::string(x.kind) != "read") t.writeResponse = find(t.table + "::WriteResponse");
    t.entity = find(t.table);
    return t;
}

// What each entry attribute accepts, by the entry rule, from the expectations alone.
enum class Attr { scalarRo, scalarRw, function, bytes, field, none };

std::map<int, Attr> entryAttributes(ExpectedTable const& x) {
    std::map<int, Attr> a;
    bool const inlineForm = std::string(x.kind) == "shared";
    int id = 2;
    if (inlineForm) a[id++] = Attr::scalarRo;   // entryIndex
    a[id++] = Attr::scalarRw;                    // transactionId
    a[id++] = Attr::function;                    // the constant 1
    for (std::size_t k = 0; k < x.arrays.size(); ++k) a[id++] = Attr::bytes;
    a[id++] = Attr::function;                    // isValid
    a[id++] = Attr::function;                    // doSetPhysicalConsts
    a[id++] = Attr::function;                    // doClearPhysicalConsts
    if (x.checkWidth) a[id++] = Attr::function;  // doClearEccFields
    a[id++] = Attr::function;                    // isUserWritable
    if (x.fieldCount) {
        EXPECT_EQ(id, x.firstFieldId) << x.name;
        for (unsigned i = 0; i < x.fieldCount; ++i) a[id++] = Attr::field;
        EXPECT_EQ(id - 1, x.lastFieldId) << x.name;
    }
    return a;
}

class Reflect : public ::testing::TestWithParam<ExpectedTable> {};

TEST_P(Reflect, TypesAreFoundByNameInModuleOrder) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    ASSERT_TRUE(t.index && t.entry && t.entity);
    std::uint32_t const i0 = t.index.type.index;
    EXPECT_EQ(t.memId.type.index, i0 + 1);
    EXPECT_EQ(t.dataIndex.type.index, i0 + 2);
    for (unsigned k = 0; k < t.bytes.size(); ++k) EXPECT_EQ(t.bytes[k].type.index, i0 + 3 + k);
    std::uint32_t const n = std::uint32_t(x.arrays.size());
    EXPECT_EQ(t.entry.type.index, i0 + 3 + n);
    if (t.writeResponse) {
        EXPECT_EQ(t.writeResponse.type.index, i0 + 4 + n);
    }
    EXPECT_EQ(t.entity.type.index, i0 + (t.writeResponse ? 5 : 4) + n);
    EXPECT_EQ(t.entity.glue->kind, Lumo::TypeKind::table);
    EXPECT_EQ(t.entry.glue->kind, Lumo::TypeKind::entry);
    // The descriptor is the last type of the table's own module.
    if (std::string_view(x.name).substr(0, 6) != "AmaMem") {
        FoundType d = find(t.table + "Desc");
        EXPECT_EQ(std::string_view(d.type.module), std::string_view(t.entity.type.module));
        EXPECT_EQ(d.glue->kind, Lumo::TypeKind::descriptor);
        EXPECT_EQ(Lumo::Inspect::typeGlue({d.type.module, d.type.index + 1}), nullptr);
    }
}

// Every operation code on every attribute id of the entry, and on ids no
// attribute carries; the status word repeats the op code above its low byte.
TEST_P(Reflect, EntryAttributeIdsAndStatusCodes) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    auto attrs = entryAttributes(x);
    Value e(*t.entry.glue);
    std::uint8_t scratch[512];  // result of any attribute; keys/values read from it stay in range
    for (int id = 0; id < (attrs.rbegin()->first + 4); ++id) {
        Attr const a = attrs.count(id) ? attrs[id] : Attr::none;
        for (unsigned char op : {0, 1, 2, 3, 4, 5, 10, 28}) {
            std::memset(scratch, 0, sizeof scratch);
            std::uint32_t key = 0;
            unsigned expect = 1;
            switch (a) {
                case Attr::none: expect = 2; break;
                case Attr::scalarRo: expect = op == 0 ? 0 : 1; break;
                case Attr::scalarRw:
                case Attr::field: expect = op <= 1 ? 0 : 1; break;
                case Attr::function: expect = op == 10 ? 0 : 1; break;
                case Attr::bytes: expect = op <= 3 || op == 5 ? 0 : 1; break;
            }
            if (a == Attr::field && x.fieldCount && id >= x.firstFieldId) {
                // Wide fields take and give a bitmap object.
                Orrin::PerUnitBitmap bm(std::vector<std::uint32_t>(16, 0));
                std::uint64_t v = 0;
                bool const wide = X2::findTable(x.name)->fields[id - x.firstFieldId].width > 64;
                void* slot = wide ? static_cast<void*>(&bm) : static_cast<void*>(&v);
                EXPECT_EQ(e.op(op, op == 0 ? slot : nullptr, id, &key, op == 1 ? slot : nullptr), st(op, expect))
                    << x.name << " id " << id << " op " << int(op);
                continue;
            }
            std::uint64_t value = 0;
            EXPECT_EQ(e.op(op, scratch, id, &key, &value), st(op, expect))
                << x.name << " id " << id << " op " << int(op);
        }
    }
    // The constant function answers 1; isUserWritable is true exactly on the field ids.
    int const constant = std::string(x.kind) == "shared" ? 4 : 3;
    int one = 0;
    EXPECT_EQ(e.op(10, &one, constant), st(10, 0));
    EXPECT_EQ(one, 1);
    int const isUserWritable = x.fieldCount ? x.firstFieldId - 1 : attrs.rbegin()->first;
    for (short id : {short(-1), short(0), short(x.firstFieldId - 1), short(x.firstFieldId), short(x.lastFieldId),
                     short(x.lastFieldId + 1)}) {
        bool r = !x.fieldCount;
        EXPECT_EQ(e.op(10, &r, isUserWritable, &id), st(10, 0));
        EXPECT_EQ(r, x.fieldCount && id >= x.firstFieldId && id <= x.lastFieldId) << x.name << " " << id;
    }
}

// Data byte arrays as collections, and the byte iterators.
TEST_P(Reflect, DataByteArraysAndTheirIterators) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    bool const inlineForm = std::string(x.kind) == "shared";
    int const first = inlineForm ? 5 : 4;
    Value e(*t.entry.glue);
    for (unsigned k = 0; k < x.arrays.size(); ++k) {
        Lumo::FieldId const id = first + k;
        std::uint32_t const cap = x.arrays.begin()[k];
        std::uint32_t n = 0;
        ASSERT_EQ(e.op(3, &n, id), st(3, 0));
        EXPECT_EQ(n, inlineForm ? 0 : cap);
        // An empty inline array's iterator is at its end at once.
        void const* fns = nullptr;
        void* it = t.entry.glue->genericIfIterator(e.get(), nullptr, FieldDescriptor(id), &fns);
        ASSERT_TRUE(it && fns);
        auto const& f = *static_cast<Lumo::Inspect::IteratorFnTable const*>(fns);
        Vex::VexAttr const attr{id};
        if (inlineForm) {
            EXPECT_FALSE(f.iterNonnull(attr, it));
        }
        f.iterDel(attr, it);
        // Set bytes 2 and cap-1 by key; read, walk and delete them back.
        std::uint32_t k2 = 2, kl = cap - 1;
        std::uint8_t v2 = 0x5a, vl = 0xa5, got = 0;
        ASSERT_EQ(e.op(1, nullptr, id, &k2, &v2), st(1, 0));
        ASSERT_EQ(e.op(1, nullptr, id, &kl, &vl), st(1, 0));
        ASSERT_EQ(e.op(0, &got, id, &k2), st(0, 0));
        EXPECT_EQ(got, 0x5a);
        ASSERT_EQ(e.op(3, &n, id), st(3, 0));
        EXPECT_EQ(n, cap);
        bool present = false;
        EXPECT_EQ(e.op(5, &present, id, &kl), st(5, 0));
        EXPECT_TRUE(present);
        std::vector<std::uint8_t> walked;
        std::uint32_t start = 1;
        void* startKey = &start;
        it = t.entry.glue->genericIfIterator(e.get(), &startKey, FieldDescriptor(id), &fns);
        std::uint32_t expectPos = 1;
        for (; f.iterNonnull(attr, it); f.iterInc(attr, it), ++expectPos) {
            std::uint32_t pos = 0;
            std::uint8_t b = 0;
            f.iterKey(attr, it, &pos);
            f.iterObj(attr, it, &b);
            EXPECT_EQ(pos, expectPos);
            walked.push_back(b);
        }
        f.iterDel(attr, it);
        std::vector<std::uint8_t> expect(cap - 1, 0);
        expect[1] = 0x5a;
        expect[cap - 2] = 0xa5;
        EXPECT_EQ(walked, expect) << x.name << " dataByte" << k;
        EXPECT_EQ(e.op(2, &got, id, &kl), st(2, 0));
        EXPECT_EQ(got, 0xa5);
        EXPECT_EQ(e.op(2, &got, id, &k2), st(2, 0));
        EXPECT_EQ(got, 0x5a);
        ASSERT_EQ(e.op(3, &n, id), st(3, 0));
        EXPECT_EQ(n, inlineForm ? 0 : cap);  // the inline array is trimmed back to empty
        // A position the key type refuses: its range failure.
        std::uint32_t bad = cap;
        EXPECT_THROW(e.op(0, &got, id, &bad), Lumo::RangeException);
        std::uint32_t place = 0;
        EXPECT_THROW(t.bytes[k].glue->genericIfConstructFromCtorArgs(&place, std::array<void*, 1>{&bad}.data()),
                     Lumo::RangeException);
    }
    // Other attributes have no iterator.
    void const* fns = nullptr;
    EXPECT_EQ(t.entry.glue->genericIfIterator(e.get(), nullptr, FieldDescriptor(first + x.arrays.size()), &fns),
              nullptr);
}

// Whole values: 11 non-default, 12 equal, 13 (index types) below; other codes 1.
TEST_P(Reflect, WholeValueOperations) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    std::vector<FoundType> values = {t.index, t.memId, t.dataIndex, t.entry};
    values.insert(values.end(), t.bytes.begin(), t.bytes.end());
    if (t.writeResponse) values.push_back(t.writeResponse);
    for (FoundType const& ty : values) {
        bool const index = ty.glue->kind == Lumo::TypeKind::indexType;
        Value a(*ty.glue), b(*ty.glue);
        bool r = true;
        EXPECT_EQ(a.op(11, &r), st(11, 0));
        EXPECT_FALSE(r);
        EXPECT_EQ(a.op(12, &r, {}, a.get()), st(12, 0));
        EXPECT_TRUE(r);
        EXPECT_EQ(a.op(12, &r, {}, b.get()), st(12, 0));
        EXPECT_TRUE(r);
        EXPECT_EQ(a.op(13, &r, {}, b.get()), st(13, index ? 0 : 1));
        if (index) {
            EXPECT_FALSE(r);
        }
        for (unsigned char op : {0, 1, 2, 3, 4, 5, 10, 14, 28, 255}) EXPECT_EQ(a.op(op, &r), st(op, 1));
    }
    // A value that differs from the default.
    std::uint32_t one = 1;
    void* args[] = {&one};
    for (FoundType const& ty : {t.index, t.memId}) {
        if (ty.glue == t.memId.glue ? x.arrays.size() < 2 : x.lastIndex < 1) continue;
        Value a(*ty.glue), b(*ty.glue);
        ty.glue->inspectDestroy(b.get());
        ty.glue->genericIfConstructFromCtorArgs(b.get(), args);
        bool r = false;
        EXPECT_EQ(b.op(11, &r), st(11, 0));
        EXPECT_TRUE(r);
        EXPECT_EQ(a.op(13, &r, {}, b.get()), st(13, 0));
        EXPECT_TRUE(r);
        EXPECT_EQ(a.op(12, &r, {}, b.get()), st(12, 0));
        EXPECT_FALSE(r);
    }
    Value e(*t.entry.glue);
    Asic::TransactionId tid = 7;
    ASSERT_EQ(e.op(1, nullptr, std::string(x.kind) == "shared" ? 3 : 2, nullptr, &tid), st(1, 0));
    bool r = false;
    EXPECT_EQ(e.op(11, &r), st(11, 0));
    EXPECT_TRUE(r);
}

// Construction from constructor arguments, with the range failures; the
// constant attributes of the index types.
TEST_P(Reflect, ConstructionFromArgumentsAndIndexConstants) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    bool const read = std::string(x.kind) == "read";
    auto make = [](FoundType const& ty, std::uint32_t v) {
        auto out = std::make_unique<Value>(*ty.glue);
        ty.glue->inspectDestroy(out->get());
        void* args[] = {&v};
        try {
            ty.glue->genericIfConstructFromCtorArgs(out->get(), args);
        } catch (...) {
            ty.glue->inspectConstruct(out->get(), nullptr);  // the failed construction left nothing behind
            throw;
        }
        return out;
    };
    struct Bound {
        FoundType ty;
        std::uint32_t max;
        char const* message;  // "" for the index's own out-of-range failure
    };
    std::vector<Bound> bounds = {{t.index, x.lastIndex, ""},
                                 {t.memId, std::uint32_t(x.arrays.size() - 1), "::value > max() not allowed"},
                                 {t.dataIndex, 0, "min-max"}};
    for (unsigned k = 0; k < t.bytes.size(); ++k) bounds.push_back({t.bytes[k], x.arrays.begin()[k] - 1, "min-max"});
    for (auto const& b : bounds) {
        std::string const name(Lumo::Inspect::typeName(b.ty.type));
        auto v = make(b.ty, b.max);
        std::uint32_t got = 0;
        EXPECT_EQ(v->op(0, &got, 130), st(0, 0));
        EXPECT_EQ(got, b.max) << name;
        std::string const msg = messageOf([&] { make(b.ty, b.max + 1); });
        if (b.ty.glue == t.index.glue) {
            EXPECT_NE(msg, "(no exception)") << name;
            if (read) {
                EXPECT_NO_THROW(make(b.ty, Asic::kReadAllIndex)) << name;
            }
            EXPECT_EQ(v->op(10, nullptr, 131), st(10, 0));  // doInit
            EXPECT_EQ(v->op(0, &got, 132), st(0, 2));
        } else if (std::string(b.message) == "min-max") {
            EXPECT_EQ(msg, name + "::value < " + name + "::min or > " + name + "::max not allowed");
            EXPECT_EQ(v->op(0, &got, 131), st(0, 0));
            EXPECT_EQ(got, 0u);
            EXPECT_EQ(v->op(0, &got, 132), st(0, 0));
            EXPECT_EQ(got, b.max + 1);
        } else {
            EXPECT_EQ(msg, name + b.message);
        }
        EXPECT_EQ(v->op(1, &got, 130), st(1, 1));
        EXPECT_EQ(v->op(0, &got, 133), st(0, 2));
    }
    // Entry and WriteResponse from an Index.
    auto idx = make(t.index, x.lastIndex);
    void* args[] = {idx->get()};
    Value e(*t.entry.glue);
    t.entry.glue->inspectDestroy(e.get());
    t.entry.glue->genericIfConstructFromCtorArgs(e.get(), args);
    if (std::string(x.kind) == "shared") {
        std::uint32_t ei = 0;
        EXPECT_EQ(e.op(0, &ei, 2), st(0, 0));
        EXPECT_EQ(ei, x.lastIndex);
    }
    if (t.writeResponse) {
        Value w(*t.writeResponse.glue), zero(*t.writeResponse.glue);
        t.writeResponse.glue->inspectDestroy(w.get());
        t.writeResponse.glue->genericIfConstructFromCtorArgs(w.get(), args);
        std::uint32_t ei = 0;
        EXPECT_EQ(w.op(0, &ei, 130), st(0, 0));
        EXPECT_EQ(ei, x.lastIndex);
        EXPECT_EQ(w.op(1, &ei, 130), st(1, 1));
        EXPECT_EQ(w.op(0, &ei, 131), st(0, 2));
        bool differs = false;
        EXPECT_EQ(w.op(11, &differs), st(11, 0));
        EXPECT_EQ(differs, x.lastIndex != 0);
    }
}

// Hashes, and text round trips with all text consumed.
TEST_P(Reflect, HashAndText) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    Lumo::TypeDescriptor const none{};
    std::uint32_t v = x.lastIndex;
    void* args[] = {&v};
    Value i(*t.index.glue);
    t.index.glue->inspectDestroy(i.get());
    t.index.glue->genericIfConstructFromCtorArgs(i.get(), args);
    EXPECT_EQ(t.index.glue->inspectGetHash(i.get(), none), Vex::hashSingleAttr(0, v));
    // Equal entries built apart hash equal; the hash is the entry's own with seed 0.
    Value a(*t.entry.glue), b(*t.entry.glue);
    std::uint32_t pos = 1;
    std::uint8_t byte = 0x42;
    Lumo::FieldId const first = std::string(x.kind) == "shared" ? 5 : 4;
    a.op(1, nullptr, first, &pos, &byte);
    EXPECT_NE(t.entry.glue->inspectGetHash(a.get(), none), t.entry.glue->inspectGetHash(b.get(), none));
    b.op(1, nullptr, first, &pos, &byte);
    EXPECT_EQ(t.entry.glue->inspectGetHash(a.get(), none), t.entry.glue->inspectGetHash(b.get(), none));
    // Not hashable.
    std::vector<FoundType> notHashable = {t.memId, t.dataIndex};
    notHashable.insert(notHashable.end(), t.bytes.begin(), t.bytes.end());
    if (t.writeResponse) notHashable.push_back(t.writeResponse);
    for (FoundType const& ty : notHashable) {
        Value z(*ty.glue);
        EXPECT_EQ(messageOf([&] { ty.glue->inspectGetHash(z.get(), none); }),
                  std::string(Lumo::Inspect::typeName(ty.type)) + " is not hashable");
    }
    // Text: every index type and the write response round-trip; trailing text is refused
    // and leaves the value as it was.
    std::vector<FoundType> texts = {t.index, t.memId, t.dataIndex};
    texts.insert(texts.end(), t.bytes.begin(), t.bytes.end());
    if (t.writeResponse) texts.push_back(t.writeResponse);
    for (FoundType const& ty : texts) {
        Value s(*ty.glue);
        if (ty.glue == t.index.glue) {
            ty.glue->inspectDestroy(s.get());
            ty.glue->inspectConstruct(s.get(), i.get());
        }
        if (ty.glue == t.writeResponse.glue) {
            ty.glue->inspectDestroy(s.get());
            void* idx[] = {i.get()};
            ty.glue->genericIfConstructFromCtorArgs(s.get(), idx);
        }
        std::string const text = ty.glue->inspectEncodeToString(s.get(), {ty.type}, 0);
        Value d(*ty.glue);
        ty.glue->inspectDecodeFromString(d.get(), text, {ty.type}, 0);
        bool eq = false;
        EXPECT_EQ(d.op(12, &eq, {}, s.get()), st(12, 0));
        EXPECT_TRUE(eq) << text;
        Value untouched(*ty.glue);
        EXPECT_THROW(ty.glue->inspectDecodeFromString(untouched.get(), text + " x", {ty.type}, 0),
                     Lumo::ParseException);
        EXPECT_EQ(untouched.op(11, &eq), st(11, 0));
        EXPECT_FALSE(eq) << text;
    }
    // The entry encodes to its own text (it has no text to decode from).
    EXPECT_EQ(t.entry.glue->inspectEncodeToString(b.get(), {t.entry.type}, 0).rfind(t.table + "::Entry(", 0), 0u);
    EXPECT_EQ(t.entry.glue->inspectEncodeDecodeProtobuf, nullptr);
    EXPECT_NE(t.index.glue->inspectEncodeDecodeProtobuf, nullptr);
}

TEST(ReflectIndex, HasNoProtobufForm) {
    FoundType const ty = Lumo::Inspect::findType("bcm56275_a0::Default::IsecScTcam::Entry::Index");
    ASSERT_TRUE(ty);
    EXPECT_DEATH(ty.glue->inspectEncodeDecodeProtobuf(nullptr, nullptr, true), "no protobuf message");
}

// A value of `ty` constructed from one constructor argument.
std::unique_ptr<Value> fromArg(FoundType const& ty, void* arg) {
    auto out = std::make_unique<Value>(*ty.glue);
    ty.glue->inspectDestroy(out->get());
    void* args[] = {arg};
    ty.glue->genericIfConstructFromCtorArgs(out->get(), args);
    return out;
}

bool equal(Value const& a, void const* b) {
    bool eq = false;
    EXPECT_EQ(a.op(12, &eq, {}, const_cast<void*>(b)), st(12, 0));
    return eq;
}

// A control attribute (771, and 773 in a shared-memory table) of type C:
// a copy takes a use; a settable one is replaced and given back.
template <class C>
void checkControl(auto const& op, Lumo::FieldId id, bool settable) {
    C control, again;
    EXPECT_EQ(op(0, &control, id, nullptr, nullptr), st(0, 0));
    ASSERT_TRUE(control) << id;
    std::uint32_t const uses = control->useCount();
    EXPECT_EQ(op(0, &again, id, nullptr, nullptr), st(0, 0));
    EXPECT_EQ(again, control);
    EXPECT_EQ(control->useCount(), uses + 1);
    EXPECT_EQ(op(2, &again, id, nullptr, nullptr), st(2, 1));
    EXPECT_EQ(op(3, &again, id, nullptr, nullptr), st(3, 1));
    if (settable) {
        C none;
        EXPECT_EQ(op(1, nullptr, id, nullptr, &none), st(1, 0));
        EXPECT_EQ(op(0, &again, id, nullptr, nullptr), st(0, 0));
        EXPECT_FALSE(again);
        EXPECT_EQ(control->useCount(), uses - 1);  // the table let go of it
        EXPECT_EQ(op(1, nullptr, id, nullptr, &control), st(1, 0));
        EXPECT_EQ(op(0, &again, id, nullptr, nullptr), st(0, 0));
        EXPECT_EQ(again, control);
    }
}

// The keys an iterator of `g` over collection `id` of `object` walks, in its
// order, each element checked against `oracle` (the values written).
std::vector<std::uint32_t> walk(TypeGlue const& g, void* object, Lumo::FieldId id, std::uint32_t const* start,
                                TypeGlue const& element, std::map<std::uint32_t, std::unique_ptr<Value>> const& oracle) {
    void const* fns = nullptr;
    void* startKey = const_cast<std::uint32_t*>(start);
    void* it = g.genericIfIterator(object, start ? &startKey : nullptr, FieldDescriptor(id), &fns);
    EXPECT_TRUE(it && fns);
    if (!it || !fns) return {};
    auto const& f = *static_cast<Lumo::Inspect::IteratorFnTable const*>(fns);
    std::vector<std::uint32_t> keys;
    for (; f.iterNonnull({id}, it); f.iterInc({id}, it)) {
        std::uint32_t k = 0;
        f.iterKey({id}, it, &k);
        keys.push_back(k);
        Value obj(element);
        f.iterObj({id}, it, obj.get());
        auto o = oracle.find(k);
        EXPECT_TRUE(o != oracle.end() && equal(obj, o->second->get())) << "field " << id << " key " << k;
    }
    f.iterDel({id}, it);
    return keys;
}

// The table entity made by name: its collections by attribute id against
// what was written, the status codes, the iterators (from the start and from
// a start key) and the control attributes.
TEST_P(Reflect, TableEntityByName) {
    ExpectedTable const& x = GetParam();
    Types t = typesOf(x);
    std::string const kind = x.kind;
    bool const shared = kind == "shared";
    bool const read = kind == "read";
    TypeGlue const& g = *t.entity.glue;
    ASSERT_NE(g.newEntityForDir, nullptr);
    int dummy = 0;
    EXPECT_THROW(g.newEntityForDir("withArgs", &dummy), Lumo::InvalidInitializeException);
    Vex::Entity* raw = g.newEntityForDir(x.name, nullptr);
    ASSERT_NE(raw, nullptr);
    Lumo::Ptr<Vex::Entity> table(raw);
    EXPECT_EQ(table->name(), x.name);
    auto op = [&](unsigned char o, void* result, Lumo::FieldId id, void* key = nullptr, void* value = nullptr) {
        return g.inspectOperation(result, raw, FieldDescriptor(id), o, key, value);
    };
    // Ids: 770 to 772 (shared-memory tables to 773, read tables to 775), nothing else.
    std::uint32_t n = 99;
    for (Lumo::FieldId id : {0u, 1u, 2u, 130u, 769u, 776u, 1000u}) EXPECT_EQ(op(3, &n, id), st(3, 2)) << id;
    EXPECT_EQ(op(3, &n, 773), st(3, read || shared ? 1 : 2));
    EXPECT_EQ(g.inspectOperation(&n, raw, FieldDescriptor(), 11, nullptr, nullptr), st(11, 1));

    // Entries: absent key, then three entries, each made from its index and
    // with its own transaction id; the oracle is what was written.
    std::uint32_t key = x.lastIndex;
    Value found(*t.entry.glue);
    Asic::TransactionId tid = 0x1234;
    ASSERT_EQ(found.op(1, nullptr, shared ? 3 : 2, nullptr, &tid), st(1, 0));
    EXPECT_EQ(op(28, found.get(), 770, &key), st(28, 4));
    bool differs = true;
    found.op(11, &differs);
    EXPECT_FALSE(differs);  // zeroed
    bool present = true;
    EXPECT_EQ(op(5, &present, 770, &key), st(5, 0));
    EXPECT_FALSE(present);
    std::map<std::uint32_t, std::unique_ptr<Value>> entries;
    std::set<std::uint32_t> const keys = {0u, x.lastIndex / 2, x.lastIndex};
    for (std::uint32_t k : keys) {
        auto idx = fromArg(t.index, &k);
        auto e = fromArg(t.entry, idx->get());
        Asic::TransactionId id = 0x1000 + k;
        ASSERT_EQ(e->op(1, nullptr, shared ? 3 : 2, nullptr, &id), st(1, 0));
        EXPECT_EQ(op(1, nullptr, 770, &k, e->get()), st(1, 0));
        entries[k] = std::move(e);
    }
    EXPECT_EQ(op(3, &n, 770), st(3, 0));
    EXPECT_EQ(n, entries.size());
    EXPECT_EQ(op(4, &n, 770), st(4, 0));
    EXPECT_EQ(n, 0u);
    for (auto const& [k, e] : entries) {
        std::uint32_t kk = k;
        EXPECT_EQ(op(28, found.get(), 770, &kk), st(28, 0));
        EXPECT_TRUE(equal(found, e->get())) << k;
        Value got(*t.entry.glue);
        EXPECT_EQ(op(0, got.get(), 770, &kk), st(0, 0));
        EXPECT_TRUE(equal(got, e->get())) << k;
        EXPECT_EQ(op(5, &present, 770, &kk), st(5, 0));
        EXPECT_TRUE(present);
    }
    EXPECT_EQ(op(10, &n, 770), st(10, 1));
    std::uint32_t bad = x.lastIndex + 1;
    EXPECT_THROW(op(0, found.get(), 770, &bad), Lumo::RangeException);
    // Walk from the start: the keys stored, each once; from a start key: the rest of that walk.
    std::vector<std::uint32_t> const order = walk(g, raw, 770, nullptr, *t.entry.glue, entries);
    EXPECT_EQ(std::multiset<std::uint32_t>(order.begin(), order.end()),
              std::multiset<std::uint32_t>(keys.begin(), keys.end()));
    if (order.size() > 1) {
        EXPECT_EQ(walk(g, raw, 770, &order[1], *t.entry.glue, entries),
                  std::vector<std::uint32_t>(order.begin() + 1, order.end()));
    }
    void const* fns = nullptr;
    for (Lumo::FieldId id : {771u, 773u, 774u, 775u, 776u}) {
        EXPECT_EQ(g.genericIfIterator(raw, nullptr, FieldDescriptor(id), &fns), nullptr);
    }
    // Delete one: what entryDel returned; again: a default entry.
    EXPECT_EQ(op(2, found.get(), 770, &key), st(2, 0));
    EXPECT_TRUE(equal(found, entries[key]->get()));
    entries.erase(key);
    EXPECT_EQ(op(5, &present, 770, &key), st(5, 0));
    EXPECT_FALSE(present);
    EXPECT_EQ(op(2, found.get(), 770, &key), st(2, 0));
    found.op(11, &differs);
    EXPECT_FALSE(differs);
    EXPECT_EQ(op(3, &n, 770), st(3, 0));
    EXPECT_EQ(n, entries.size());

    // 771 (and 773): the controls.
    if (shared) {
        checkControl<Lumo::Ptr<VexVorn::CollectionControl>>(op, 771, true);
        checkControl<Lumo::Ptr<VexVorn::CollectionControl>>(op, 773, true);
    } else {
        checkControl<Lumo::Ptr<Pell::Core::Memory::Control::Collection>>(op, 771, false);
    }

    // 772: write responses, or read requests (read, count, lookup) with 773 to 775.
    std::uint32_t k = x.lastIndex;
    if (!read) {
        std::map<std::uint32_t, std::unique_ptr<Value>> wrs;
        auto idx = fromArg(t.index, &k);
        wrs[k] = fromArg(t.writeResponse, idx->get());
        EXPECT_EQ(op(1, nullptr, 772, &k, wrs[k]->get()), st(1, 0));
        Value out(*t.writeResponse.glue);
        EXPECT_EQ(op(28, out.get(), 772, &k), st(28, 0));
        EXPECT_TRUE(equal(out, wrs[k]->get()));
        EXPECT_EQ(op(3, &n, 772), st(3, 0));
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(op(10, nullptr, 772), st(10, 1));
        if (!shared) {
            EXPECT_EQ(op(0, &n, 773), st(0, 2));
        }
        EXPECT_EQ(walk(g, raw, 772, nullptr, *t.writeResponse.glue, wrs), std::vector<std::uint32_t>{k});
        EXPECT_EQ(op(2, out.get(), 772, &k), st(2, 0));
        EXPECT_TRUE(equal(out, wrs[k]->get()));
        EXPECT_EQ(op(28, out.get(), 772, &k), st(28, 4));
        EXPECT_TRUE(walk(g, raw, 772, nullptr, *t.writeResponse.glue, wrs).empty());
    } else {
        Asic::HwTable::ReadRequest r{77}, got{};
        EXPECT_EQ(op(1, nullptr, 772, &k, &r), st(1, 1));
        EXPECT_EQ(op(10, nullptr, 773, &k, &r), st(10, 0));
        EXPECT_EQ(op(10, nullptr, 774, nullptr, &r), st(10, 0));
        EXPECT_EQ(op(0, &got, 772, &k), st(0, 0));
        EXPECT_EQ(got.transactionId, 77u);
        std::uint32_t all = Asic::kReadAllIndex;
        EXPECT_EQ(op(28, &got, 772, &all), st(28, 0));
        EXPECT_EQ(op(3, &n, 772), st(3, 0));
        EXPECT_EQ(n, k == all ? 1u : 2u);
        EXPECT_EQ(op(2, &got, 772, &k), st(2, 1));
        Asic::TransactionId bulk = 9, back = 0;
        EXPECT_EQ(op(1, nullptr, 775, nullptr, &bulk), st(1, 0));
        EXPECT_EQ(op(0, &back, 775), st(0, 0));
        EXPECT_EQ(back, 9u);
        EXPECT_EQ(op(10, &back, 775), st(10, 1));
        EXPECT_EQ(op(0, &back, 773), st(0, 1));
    }
}

std::string nameOf(::testing::TestParamInfo<ExpectedTable> const& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(AllTables, Reflect, ::testing::ValuesIn(kExpectedTables), nameOf);

// newEntityForDir reports each allocation to the table's tracker, and undoes
// nothing when it refuses constructor arguments; in both shapes of table.
template <class T>
void allocationIsTracked() {
    FoundType ty = Lumo::Inspect::findType(T::kTypeName);
    ASSERT_TRUE(ty);
    auto const before = Vex::allocTracker<T>().counts();
    int arg = 0;
    EXPECT_THROW(ty.glue->newEntityForDir("x", &arg), Lumo::InvalidInitializeException);
    EXPECT_EQ(Vex::allocTracker<T>().counts().allocations, before.allocations);
    {
        Lumo::Ptr<Vex::Entity> e(ty.glue->newEntityForDir("x", nullptr));
        auto const during = Vex::allocTracker<T>().counts();
        EXPECT_EQ(during.allocations, before.allocations + 1);
        EXPECT_EQ(during.liveBytes, before.liveBytes + std::int64_t(sizeof(T)));
    }
    auto const after = Vex::allocTracker<T>().counts();
    EXPECT_EQ(after.deallocations, before.deallocations + 1);
    EXPECT_EQ(after.liveBytes, before.liveBytes);
}

TEST(ReflectEntity, AllocationIsTracked) {
    allocationIsTracked<bcm56275_a0::Default::IsecSaTable>();
    allocationIsTracked<bcm56275_a0::Default::EgrVlanTagActionProfileTable>();
}

}  // namespace
