"""Generator tests: a small synthetic catalogue with every kind of field, the
fragments its output must hold, determinism, and one case per validation error."""
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import catalogue  # noqa: E402
import emit_cpp  # noqa: E402
import emit_desc  # noqa: E402
import emit_module  # noqa: E402
import x2gen  # noqa: E402
from catalogue import CatalogueError, load  # noqa: E402

SYNTH = {
    "Synth": """
        [[table]]
        name = "Synth"
        kind = "local"
        form = "allocated"
        dmaBusAddress = true
        lastIndex = 9
        arrays = [24, 8]
        checkBits = { array = 0, offset = 184, width = 8 }
        fields = [
          { name = "oneBit", array = 0, offset = 3, width = 1 },
          { name = "straddle", array = 0, offset = 6, width = 5 },
          { name = "byteWide", array = 0, offset = 16, width = 8 },
          { name = "shortWide", array = 0, offset = 24, width = 16, type = "unsigned short" },
          { name = "intWide", array = 0, offset = 40, width = 32 },
          { name = "big", array = 0, offset = 72, width = 100 },
          { name = "bigLow", array = 0, offset = 72, width = 12 },
          { name = "longWide", array = 1, offset = 0, width = 64 },
          { name = "onea", array = 1, offset = 0, width = 3 },
        ]
        aggregates = [ { name = "big", parts = ["bigLow"] }, { name = "longWide", parts = ["onea"] } ]

        [table.descriptor]
        entries = 10
        instances = [[[1], [2]]]
        register = false
        secondAccess = false
        units = "only 511"
        accessMode = 4
        parityCorrection = true
        downloadInterval = 60.0
        commandBuilderOffsets = [65, 66]
        """,
    "Shared": """
        [[table]]
        name = "Shared"
        kind = "shared"
        form = "inline"
        lastIndex = 127
        arrays = [8]
        fields = [ { name = "a", array = 0, offset = 0, width = 36 }, { name = "b", array = 0, offset = 36, width = 2 } ]

        [table.descriptor]
        entries = 128
        instances = [[[3]]]
        register = false
        secondAccess = false
        units = "all but 511"
        accessMode = 0
        parityCorrection = true
        accessTable = "Twin"

        [[table]]
        name = "Twin"
        kind = "local"
        form = "allocated"
        sameLayoutAs = "Shared"
        dmaBusAddress = true
        """,
    "Reader": """
        [[table]]
        name = "Reader"
        kind = "read"
        form = "allocated"
        memAccessHelper = "DefaultEgressTimestampTableHelper"
        lastIndex = 3
        readAllKey = 4294967294
        arrays = [8]
        fields = []

        [table.descriptor]
        entries = 4
        instances = [[[4], []], [[5], [6]]]
        register = true
        secondAccess = true
        units = "all but 511"
        accessMode = 3
        parityCorrection = false
        allocator = "other"
        """,
}


def write_catalogue(root: Path, sources: dict):
    d = root / "catalogue" / "X2" / "Default"
    d.mkdir(parents=True, exist_ok=True)
    for name, text in sources.items():
        (d / f"{name}.toml").write_text(textwrap.dedent(text))
    return root / "catalogue"


class SyntheticCatalogue(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.cat = write_catalogue(Path(self.tmp.name), SYNTH)
        self.sources = {s.name: s for s in load(self.cat)}

    def tearDown(self):
        self.tmp.cleanup()

    def test_derived_ids_types_and_order(self):
        synth = self.sources["Synth"].tables[0]
        # 8 + 2 arrays + 1 for doClearEccFields; upper case sorts first.
        # Byte-wise order: "oneBit" before "onea" (upper case sorts before lower case).
        self.assertEqual([f.name for f in synth.fields],
                         ["big", "bigLow", "byteWide", "intWide", "longWide", "oneBit", "onea", "shortWide", "straddle"])
        self.assertEqual(synth.field_ids, (11, 19))
        types = {f.name: f.type for f in synth.fields}
        self.assertEqual(types["oneBit"], "U1")
        self.assertEqual(types["byteWide"], "unsigned char")
        self.assertEqual(types["intWide"], "unsigned int")
        self.assertEqual(types["longWide"], "unsigned long")
        self.assertEqual(types["big"], "Orrin::PerUnitBitmap")
        shared, twin = self.sources["Shared"].tables
        self.assertEqual(shared.field_ids, (10, 11))  # inline form: entryIndex takes an id
        self.assertEqual(twin.field_ids, (9, 10))
        self.assertEqual((twin.kind, twin.form, twin.arrays), ("local", "allocated", [8]))

    def test_header_fragments(self):
        h = emit_cpp.emit_header(self.sources["Synth"])
        for frag in [
            "U1 oneBit() const { return AsicUtils::getField<3, 1>(dataByte0_); }",
            "void straddleIs(U5 v) { AsicUtils::setField<6, 5>(dataByte0_, v); }",
            "unsigned short shortWide() const",
            "Orrin::PerUnitBitmap big() const { return AsicUtils::getField<72, 100>(dataByte0_); }",
            "void bigIs(Orrin::PerUnitBitmap const& v)",
            "unsigned long longWide() const { return AsicUtils::getField<0, 64>(dataByte1_); }",
            "static bool isUserWritable(short attrId) { return attrId >= 11 && attrId <= 19; }",
            "void doClearEccFields() { AsicUtils::setField<184, 8>(dataByte0_, 0u); }",
            "struct Index : X2::EntryIndex<Index, 9u, false>",
            "struct DataByte1Index : X2::MinMaxIndex<DataByte1Index, 7u>",
            "class WriteResponse : public X2::WriteResponseT<WriteResponse, Entry::Index>",
            "Pell::Core::Memory::Array<unsigned char, unsigned int, 24u, 0u>",
        ]:
            self.assertIn(frag, h)
        self.assertIn("// Generated by generator/x2gen.py from ", h)
        shared = emit_cpp.emit_header(self.sources["Shared"])
        self.assertIn("void aIs(U36 const& v)", shared)  # 36-bit values by const reference
        self.assertIn("Vex::PodArray<unsigned char, DataByte0Index, 8u, 0u>", shared)
        self.assertIn("Index fwkKey() const", shared)
        # The shared-memory shape: its base, its bindings and members in their order.
        self.assertIn("class Shared : public Asic::AmaMem::IndexTable, public Vex::SlabAllocated<Shared> {", shared)
        self.assertIn('#include "X2/Support/SharedTable.h"', shared)
        members = ["Count_ = nullptr;", "zeroReferencesNotifiee_;", "EntryMap entryMap_;", "ControlPtr entryControl_;",
                   "WriteResponseMap writeResponseMap_;", "ControlPtr writeResponseControl_;"]
        at = [shared.index(m) for m in members]
        self.assertEqual(at, sorted(at))
        self.assertIn("class SharedZeroReferencesNotifiee : public X2::ZeroReferencesNotifiee<Shared, ", shared)
        self.assertNotIn("SharedTable.h", emit_cpp.emit_header(self.sources["Reader"]))
        self.assertIn("class Twin : public Asic::DirectIndexTable, public Vex::SlabAllocated<Twin> {", shared)
        reader = emit_cpp.emit_header(self.sources["Reader"])
        self.assertIn("struct Index : X2::EntryIndex<Index, 3u, true>", reader)
        self.assertNotIn("WriteResponse", reader)
        self.assertIn("static bool isUserWritable(short) { return false; }", reader)

    def test_entity_fragments(self):
        h = emit_cpp.emit_header(self.sources["Synth"])
        for frag in [
            "class Synth : public Asic::DirectIndexTable, public Vex::SlabAllocated<Synth> {",
            "struct HN_Entry : X2::EntryNode<Entry> {",
            "static std::tuple<Entry::DataByte0 const&, Entry::DataByte1 const&> arrays(Entry const& e) "
            "{ return std::tie(e.dataByte0(), e.dataByte1()); }",
            "struct HN_WriteResponse : X2::WriteResponseNode<WriteResponse> {",
            "using Collections = X2::LocalCollections<HN_Entry, HN_WriteResponse>;",
            "static constexpr std::uint32_t kTypeIndex = 7;",  # 3 + 2 arrays + Entry + WriteResponse
            "explicit Synth(Lumo::String const& name);",
            "void lastUserGone() override;",
            "Vex::VexAttr writeResponseAttrId() const override { return {X2::kWriteResponseAttrId}; }",
            "void entryIs(Entry::Index i, Entry const& e) { c_.entryIs(i, e); }",
            "void writeResponseDelAll() { c_.writeResponseDelAll(); }",
            "extern template class X2::LocalCollections<bcm56275_a0::Default::Synth::HN_Entry, "
            "bcm56275_a0::Default::Synth::HN_WriteResponse>;",
        ]:
            self.assertIn(frag, h)
        self.assertEqual(h.count("c_.entryIs(i, e)"), 1, "one forwarder per operation")
        reader = emit_cpp.emit_header(self.sources["Reader"])
        for frag in [
            "struct HN_ReadRequest : X2::ReadRequestNode {",
            "static constexpr std::uint32_t kTypeIndex = 5;",  # 3 + 1 array + Entry
            "void addReadAllRequest(Asic::HwTable::ReadRequest const& r) { c_.readRequestIs(X2::kReadAllIndex, r); }",
            "void bulkReadResponseTidIs(Asic::TransactionId const& t) override { c_.bulkReadResponseIs(t); }",
            "Vex::VexAttr readRequestAttrId() const override",
        ]:
            self.assertIn(frag, reader)
        shared = emit_cpp.emit_header(self.sources["Shared"])
        # The shared table and its types take indices 0..6; the twin's own types 7..12.
        self.assertIn("static constexpr std::uint32_t kTypeIndex = 13;", shared)
        self.assertEqual(shared.count("HN_Entry : "), 1, "only the twin is a local entity")
        src = emit_cpp.emit_source(self.sources["Synth"])
        for frag in [
            "template class X2::LocalCollections<bcm56275_a0::Default::Synth::HN_Entry, ",
            ": Asic::DirectIndexTable(name), c_(publisher()) {}",
            "Synth::~Synth() { nodeFlagSet(Lumo::kNodeFlagDestroying, false); }",
            "void Synth::lastUserGone() { Pell::Core::Memory::Entity::Destructor::cleanup(this); }",
            'Vex::VexTypeBase Synth::typeData() const { return {"X2/Default/Synth", kTypeIndex}; }',
            "X2::EntryOpsFor<Synth::Entry>::ops(), X2::LocalTableOpsFor<Synth>::ops()};",
        ]:
            self.assertIn(frag, src)
        self.assertIn("X2::TableOps{}};", emit_cpp.emit_source(self.sources["Shared"]))

    def test_seeds_fixed_derived_and_distinct(self):
        real = load(Path(__file__).resolve().parents[2] / "catalogue")
        by = {t.name: t for s in real for t in s.tables}
        self.assertEqual(by["AmaMemEgrVlanTagActionProfileTable"].seeds,
                         {"HN_Entry": 0x36D8A9AA, "HN_WriteResponse": 0x49C2D19C})
        self.assertEqual(by["IngVlanRangeTable"].seeds["HN_Entry"], 0xB651A63A)
        seeds = {v for t in by.values() for v in t.seeds.values()}
        self.assertEqual(len(seeds), 170)  # two node types of each of the 85 local and read tables, all distinct
        self.assertEqual(by["EgrVlanTagActionProfileTable"].seeds, {})  # shared tables have no local nodes
        h = emit_cpp.emit_header(self.sources["Synth"])
        self.assertIn(f"kHashSeed = {catalogue.seed(self.sources['Synth'].tables[0], 'HN_Entry'):#010x}u;", h)

    def test_seed_collision_is_refused_where_the_table_is_named(self):
        name = f"{catalogue.NS}::Reader::HN_Entry"
        catalogue.FIXED_SEEDS[name] = catalogue.seed(self.sources["Synth"].tables[0], "HN_Entry")
        try:
            with self.assertRaises(CatalogueError) as cm:
                load(self.cat)
        finally:
            del catalogue.FIXED_SEEDS[name]
        # Sources are checked in name order: Reader, Shared, Synth; the name key is on line 3.
        self.assertRegex(str(cm.exception), r"^catalogue/X2/Default/Synth\.toml:3: table Synth: hash seed 0x[0-9a-f]{8} "
                         r"of Synth::HN_Entry equals that of Reader::HN_Entry \(catalogue/X2/Default/Reader\.toml:3\)$")

    def test_descriptor_model(self):
        synth = self.sources["Synth"].tables[0].descriptor
        self.assertEqual((synth.entries, synth.instances, synth.per_memory_counts), (10, [[[1], [2]]], [1, 1]))
        self.assertEqual((synth.suffix, synth.write_response_collection, synth.allocator), ("", "writeResponse", "noOptimization"))
        self.assertEqual((synth.download_interval, synth.command_builder_offsets, synth.access_mode), (60.0, [65, 66], 4))
        self.assertTrue(synth.only_unit_511)
        reader = self.sources["Reader"].tables[0].descriptor
        self.assertEqual((reader.suffix, reader.write_response_collection, reader.allocator), ("::Read", None, "other"))
        self.assertEqual((reader.data_memories, reader.instances), (2, [[[4], []], [[5], [6]]]))
        shared, twin = self.sources["Shared"].tables
        self.assertEqual((shared.descriptor.access_table, twin.descriptor), ("Twin", None))

    def test_descriptor_fragments(self):
        h = emit_cpp.emit_header(self.sources["Synth"])
        for frag in [
            "class SynthDesc : public LogicalFap::HwTableDesc, public X2::DescriptorAllocation<SynthDesc> {",
            'static constexpr char kTypeName[] = "bcm56275_a0::Default::SynthDesc";',
            "static constexpr std::uint32_t kTypeIndex = 8;",  # the table at 7, the descriptor last
            "bool isValidUnitId(Asic::UnitId unit) const override { return X2::unitOnly511(unit); }",
            "double downloadInterval() const override { return 60.0; }",
            "LogicalFap::CmdBuilder getEnterCmdBuilder() const;",
        ]:
            self.assertIn(frag, h)
        src = emit_cpp.emit_source(self.sources["Synth"])
        for frag in [
            "constexpr std::span<std::uint32_t const> SynthDescIds[] = {SynthDescMem0_0, SynthDescMem0_1};",
            "constexpr Asic::MemLayout SynthDescLayout[] = {{2u, 1u, SynthDescIds, 0u, 0u, SynthDescCounts, 10u}};",
            'constexpr Asic::CollectionNames SynthDescNames[] = {{"entry", "writeResponse", SynthDescData}};',
            'constexpr char const* SynthDescArrays[] = {"dataByte0", "dataByte1"};',
            'Vex::VexTypeBase SynthDesc::tableVexType() const { return {"X2/Default/Synth", 7}; }',
            "initAccessInfo(chipInfo, LogicalFap::HwAccessMode(4), true);",
            '"void bcm56275_a0::Default::SynthDesc::logicalFapInit()", __LINE__, "enterCmdBuilder impl is not set");',
            "return X2::shaperExitCmdBuilder(65, 66); }",
        ]:
            self.assertIn(frag, src)
        reader = emit_cpp.emit_source(self.sources["Reader"])
        for frag in [
            "constexpr std::span<std::uint32_t const> ReaderDescIds[] = {ReaderDescMem0_0, {}, ReaderDescMem1_0, ReaderDescMem1_1};",
            'constexpr Asic::MemGroup ReaderDescGroups[] = {{ReaderDescLayout, "::Read", 0u}};',
            'constexpr Asic::CollectionNames ReaderDescNames[] = {{"entry", nullptr, ReaderDescData}};',
            "Asic::chunkAllocatorType(2), Asic::ChunkAllocatorFirstFit::kTypeName",
        ]:
            self.assertIn(frag, reader)
        self.assertNotIn("CmdBuilder", reader)
        shared = emit_cpp.emit_source(self.sources["Shared"])
        self.assertIn('Vex::VexTypeBase SharedDesc::accessTableVexType() const { return {"X2/Default/Shared", 13}; }', shared)
        self.assertIn("static constexpr std::uint32_t kTypeIndex = 14;", emit_cpp.emit_header(self.sources["Shared"]))
        modules = emit_desc.emit_modules_source(list(self.sources.values()))
        self.assertLess(modules.index("ReaderDesc::kTypeIndex"), modules.index("SharedDesc::kTypeIndex"))
        self.assertIn("X2::ModuleLoader const loader(kModules);", modules)

    def test_module_contents_and_name(self):
        m = emit_module.module(self.sources["Shared"])
        ns = "bcm56275_a0::Default::"
        self.assertEqual(m.type_names[:m.type_names.index("Asic::TransactionId")], [
            f"{ns}Shared::Entry::Index", f"{ns}Shared::Entry::DataMemId", f"{ns}Shared::Entry::DataIndex",
            f"{ns}Shared::Entry::DataByte0Index", f"{ns}Shared::Entry", f"{ns}Shared::WriteResponse", f"{ns}Shared",
            f"{ns}Twin::Entry::Index", f"{ns}Twin::Entry::DataMemId", f"{ns}Twin::Entry::DataIndex",
            f"{ns}Twin::Entry::DataByte0Index", f"{ns}Twin::Entry", f"{ns}Twin::WriteResponse", f"{ns}Twin",
            f"{ns}SharedDesc"])
        self.assertIn("Lumo::String", m.type_names)
        self.assertEqual(m.attribute_names, sorted(m.attribute_names, key=lambda n: n.encode("ascii")))
        shared_table = next(t for t in m.types if t.name == f"{ns}Shared")
        self.assertEqual([a[:2] for a in shared_table.attributes],
                         [(770, "entry"), (771, "entryControl"), (772, "writeResponse"), (773, "writeResponseControl")])
        reader = next(t for t in emit_module.module(self.sources["Reader"]).types if t.name == f"{ns}Reader")
        self.assertEqual([a[0] for a in reader.attributes], [770, 771, 772, 773, 774, 775])
        self.assertRegex(m.symbol, r"^Shared_[0-9a-f]{16}$")
        self.assertEqual(emit_module.module(self.sources["Shared"]).symbol, m.symbol)  # deterministic
        self.assertNotEqual(emit_module.module(self.sources["Synth"]).symbol.split("_")[1], m.symbol.split("_")[1])
        self.assertEqual(emit_module.fnv1a64(b"a"), 0xAF63DC4C8601EC8C)  # the published FNV-1a 64 value

    def test_output_is_deterministic(self):
        out1, out2 = Path(self.tmp.name) / "o1", Path(self.tmp.name) / "o2"
        self.assertEqual(x2gen.main(["--catalogue", str(self.cat), "--out", str(out1)]), 0)
        self.assertEqual(x2gen.main(["--catalogue", str(self.cat), "--out", str(out2)]), 0)
        files1 = sorted(p.relative_to(out1) for p in out1.rglob("*") if p.is_file())
        files2 = sorted(p.relative_to(out2) for p in out2.rglob("*") if p.is_file())
        self.assertEqual(files1, files2)
        self.assertEqual(len(files1), 11)  # a header, a source and a glue source per table source, All.h, Modules.cpp
        for rel in files1:
            self.assertEqual((out1 / rel).read_bytes(), (out2 / rel).read_bytes(), rel)


class Validation(unittest.TestCase):
    """Each broken catalogue is refused with a message that starts with the
    file and the line of the offending key, then names the table and field."""

    # Line numbers of the template, as the tests below rely on them.
    BASE = textwrap.dedent("""\
        [[table]]
        name = "T"
        kind = "local"
        form = "allocated"
        lastIndex = 3
        arrays = [4]
        fields = [
          {F1}
          {F2}
        ]
        {EXTRA}

        [table.descriptor]
        entries = 4
        instances = [[[1]]]
        register = true
        secondAccess = false
        units = "all but 511"
        accessMode = 0
        parityCorrection = true
        {DESC}
        """)
    X = '{ name = "x", array = 0, offset = 0, width = 8 },'

    def text(self, f1="", f2="", extra="", desc="", **replace):
        t = self.BASE.replace("{F1}", f1).replace("{F2}", f2).replace("{EXTRA}", extra).replace("{DESC}", desc)
        for old, new in replace.items():
            old = old.replace("_", " ", 1) if old.startswith("arrays_") else old
            t = t.replace(old, new)
        return t

    def refuse(self, line, *expect, sources=None, file="T", **kw):
        with tempfile.TemporaryDirectory() as d:
            cat = write_catalogue(Path(d), sources or {"T": self.text(**kw)})
            with self.assertRaises(CatalogueError) as cm:
                load(cat)
        msg = str(cm.exception)
        self.assertTrue(msg.startswith(f"catalogue/X2/Default/{file}.toml:{line}: "), msg)
        for e in expect:
            self.assertIn(e, msg)
        return msg

    def accept(self, sources):
        with tempfile.TemporaryDirectory() as d:
            return load(write_catalogue(Path(d), sources))

    def test_template_is_valid(self):
        self.accept({"T": self.text(f1=self.X)})

    def test_field_errors_name_the_field_line(self):
        self.refuse(8, "table T, field x", "capacity", f1='{ name = "x", array = 0, offset = 30, width = 4 },')
        self.refuse(9, "field y", "array 1 does not exist", f1=self.X, f2='{ name = "y", array = 1, offset = 0, width = 4 },')
        self.refuse(9, "field x", "duplicate", "first declared on line 8", f1=self.X,
                    f2='{ name = "x", array = 0, offset = 8, width = 1 },')
        self.refuse(9, "field y", "disagrees", f1=self.X,
                    f2='{ name = "y", array = 0, offset = 8, width = 9, type = "unsigned char" },')
        self.refuse(9, "field y", "unknown keys ['colour']", f1=self.X,
                    f2='{ name = "y", array = 0, offset = 8, width = 1, colour = 2 },')
        self.refuse(8, "field x", "'width' = 0", f1='{ name = "x", array = 0, offset = 0, width = 0 },')

    def test_overlap_is_reported_at_the_later_declaration(self):
        y = '{ name = "y", array = 0, offset = 4, width = 8 },'
        self.refuse(9, "field y", "shares bits with x", "aggregate", f1=self.X, f2=y)
        self.refuse(9, "field x", "shares bits with y", f1=y, f2=self.X)
        self.refuse(9, "field y", "aliases", f1=self.X, f2='{ name = "y", array = 0, offset = 0, width = 8 },')

    def test_alias_and_aggregate_errors_name_their_declaration(self):
        y7 = '{ name = "y", array = 0, offset = 0, width = 7 },'
        self.refuse(11, "field y", "disagrees with its alias x", f1=self.X, f2=y7, extra='aliases = [["x", "y"]]')
        self.refuse(11, "field nope", "alias names no field", f1=self.X, extra='aliases = [["x", "nope"]]')
        y = '{ name = "y", array = 0, offset = 0, width = 8 },'
        # The second pair of a list over several lines.
        self.refuse(13, "field z", "alias names no field", f1=self.X, f2=y,
                    extra='aliases = [\n  ["x", "y"],\n  ["x", "z"],\n]')
        self.refuse(11, "field y", "inside aggregate x", f1=self.X,
                    f2='{ name = "y", array = 0, offset = 8, width = 4 },', extra='aggregates = [ { name = "x", parts = ["y"] } ]')
        self.refuse(12, "field q", "aggregate names no field", f1=self.X,
                    extra='aggregates = [\n  { name = "q", parts = ["x"] },\n]')

    def test_check_bit_errors_name_the_check_bit_key(self):
        self.refuse(8, "field x", "overlaps the check bits", f1=self.X, extra='checkBits = { array = 0, offset = 4, width = 2 }')
        self.refuse(11, "field checkBits", "past dataByte0", extra='checkBits = { array = 0, offset = 30, width = 4 }')
        self.refuse(11, "check bits are always in dataByte0", extra='checkBits = { array = 1, offset = 0, width = 4 }')
        self.refuse(11, "field checkBits", "'width' = 65", extra='checkBits = { array = 0, offset = 0, width = 65 }')

    def test_table_keys_name_their_line(self):
        self.refuse(3, "kind 'nope'", **{'kind = "local"': 'kind = "nope"'})
        self.refuse(4, "shared table cannot hold allocated", **{'kind = "local"': 'kind = "shared"'})
        self.refuse(5, "'lastIndex' = -1", **{"lastIndex = 3": "lastIndex = -1"})
        self.refuse(6, "multiple of 4", **{"arrays = [4]": "arrays = [4, 6]"})
        self.refuse(11, "not a read table", extra="readAllKey = 4294967294")
        self.refuse(11, "unknown keys ['colour']", extra="colour = 3")

    def test_malformed_toml_names_the_line(self):
        self.refuse(1, "malformed TOML", sources={"T": "[[table]\nname ="})
        self.refuse(9, "malformed TOML", "expected ',' or '}'", f1=self.X, f2='{ name = "y" array = 0 },')
        self.refuse(21, "malformed TOML", "'entries' given twice (first on line 14)", desc="entries = 4")

    def test_sources_and_layouts(self):
        twin = self.text() + '\n[[table]]\nname = "U"\nsameLayoutAs = "Nope"\n'
        self.refuse(25, "table U", "unknown table Nope", sources={"T": twin})
        body = self.text()
        self.refuse(24, "table T", "declared twice (also catalogue/X2/Default/T.toml:2)", file="U",
                    sources={"T": body, "U": body.replace('name = "T"', 'name = "U"')
                             .replace("[[1]]", "[[2]]") + "\n" + body})
        self.refuse(2, "first table of source T must be named T", sources={"T": body.replace('name = "T"', 'name = "V"')})

    def test_descriptor_values(self):
        self.refuse(14, "entries = 5, but the index range is 0..3", **{"entries = 4": "entries = 5"})
        self.refuse(18, "units 'some'", **{'units = "all but 511"': 'units = "some"'})
        self.refuse(19, "accessMode 3 is not one of (0, 4) for a writable table", **{"accessMode = 0": "accessMode = 3"})
        self.refuse(16, "'register' must be true or false", **{"register = true": "register = 0"})
        self.refuse(15, "2 data memories for 1 data byte arrays", **{"[[[1]]]": "[[[1], [2]]]"})
        self.refuse(17, "instance 1, memory 0: a list of one physical memory id",
                    **{"instances = [[[1]]]": "instances = [\n  [[1]],\n  [[2, 3]],\n]"})
        self.refuse(17, "instance 1 lists 2 data memories, instance 0 lists 1",
                    **{"instances = [[[1]]]": "instances = [\n  [[1]],\n  [[2], [3]],\n]"})
        self.refuse(21, "one count per data memory (1)", desc="perMemoryCounts = [1, 16]")
        self.refuse(21, "unknown descriptor keys ['colour']", desc="colour = 1")
        self.refuse(13, "descriptor lacks 'units'", **{'units = "all but 511"\n': ""})
        self.refuse(21, "downloadInterval must be a number", desc='downloadInterval = "often"')
        self.refuse(21, "allocator 'fast'", desc='allocator = "fast"')
        self.refuse(21, "commandBuilderOffsets must list two distinct", desc="commandBuilderOffsets = [65, 65]")
        read = {'kind = "local"': 'kind = "read"', "lastIndex = 3": "lastIndex = 3\nreadAllKey = 4294967294",
                "accessMode = 0": "accessMode = 3"}
        self.refuse(22, "a read table has no command builders", desc="commandBuilderOffsets = [65, 66]", **read)
        self.refuse(20, "accessMode 0 is not one of (2, 3) for a read table",
                    **{**read, "accessMode = 0": "accessMode = 0"})

    def test_optional_accessor_operations(self):
        memory = {"register = true": "register = false"}
        self.accept({"T": self.text(extra="dmaBusAddress = true", **memory)})
        self.refuse(2, "dmaBusAddress = false", "makes it a memory", **memory)
        self.refuse(11, "dmaBusAddress = true", "makes it a register", extra="dmaBusAddress = true")
        self.refuse(11, "'dmaBusAddress' must be true or false", extra="dmaBusAddress = 1")
        shared = {'kind = "local"': 'kind = "shared"', 'form = "allocated"': 'form = "inline"', **memory}
        self.refuse(11, "a shared-memory table has no memory mirror", extra="dmaBusAddress = true", **shared)
        spread = {"instances = [[[1]]]": "instances = [[[1], [2]], [[3], []]]"}
        self.refuse(2, "2 data memories over 1 data byte arrays need a memAccessHelper", **spread)
        helper = 'memAccessHelper = "DefaultEgressTimestampTableHelper"'
        self.refuse(11, "serves 1 array of 8 bytes over 2 data memories", extra=helper, **spread)
        self.accept({"T": self.text(extra=helper, **spread, **{"arrays = [4]": "arrays = [8]"})})
        self.refuse(11, "memAccessHelper 'Other' is not one of", extra='memAccessHelper = "Other"', **spread)
        self.refuse(11, "memAccessHelper given for a table with one data memory per data byte array", extra=helper)

    def test_one_entry_registers(self):
        reg = self.text(**{'name = "T"': 'name = "IsecRudMgmtRule"', "entries = 4": "entries = 1",
                           "register = false": "register = true"})
        self.accept({"IsecRudMgmtRule": reg})
        self.refuse(14, "one entry on the chip", file="IsecRudMgmtRule",
                    sources={"IsecRudMgmtRule": reg.replace("entries = 1", "entries = 4")})
        self.refuse(14, "entries = 1, but the index range is 0..3", **{"entries = 4": "entries = 1"})

    def test_descriptors_of_twins(self):
        twin = '\n[[table]]\nname = "U"\nsameLayoutAs = "T"\n'
        self.refuse(24, "table U", "a twin must be named by the descriptor of T", sources={"T": self.text() + twin})
        self.accept({"T": self.text(desc='accessTable = "U"') + twin})
        self.refuse(21, "accessTable 'V' is not a twin", sources={"T": self.text(desc='accessTable = "V"') + twin})
        self.refuse(27, "table U", "a twin has no descriptor of its own",
                    sources={"T": self.text(desc='accessTable = "U"') + twin + "\n[table.descriptor]\nentries = 4\n"})
        self.refuse(2, "needs a [table.descriptor]", sources={"T": self.text().split("[table.descriptor]")[0]})

    def test_physical_memory_in_two_tables(self):
        u = self.text(**{'name = "T"': 'name = "U"'})
        self.refuse(15, "table U", "physical memory id 1 is also a memory of T (catalogue/X2/Default/T.toml:15)",
                    file="U", sources={"T": self.text(), "U": u})
        self.accept({"T": self.text(), "U": self.text(desc='sharesMemoriesWith = "T"', **{'name = "T"': 'name = "U"'})})
        self.refuse(21, "shares no physical memory with T", file="U",
                    sources={"T": self.text(), "U": self.text(desc='sharesMemoriesWith = "T"',
                                                              **{'name = "T"': 'name = "U"', "[[[1]]]": "[[[2]]]"})})
        self.refuse(15, "physical memory id 1 named twice",
                    **{"arrays = [4]": "arrays = [4, 4]", "[[[1]]]": "[[[1], [1]]]"})


class RealCatalogue(unittest.TestCase):
    def test_loads_87_tables_and_1383_fields(self):
        root = Path(__file__).resolve().parents[2] / "catalogue"
        sources = load(root)
        tables = [t for s in sources for t in s.tables]
        self.assertEqual(len(sources), 85)
        self.assertEqual(len(tables), 87)
        self.assertEqual(sum(len(t.fields) for t in tables), 1383)

    def test_descriptor_sample(self):
        """A hand transcription of the odd descriptors, against the catalogue."""
        sources = load(Path(__file__).resolve().parents[2] / "catalogue")
        d = {s.name: s.tables[0].descriptor for s in sources}
        self.assertEqual(len(d), 85)
        self.assertTrue(all(t.descriptor is None for s in sources for t in s.tables[1:]))
        for reg in ("EsecAesCalcIcvReg", "IsecAesCalcIcvReg", "IsecMgmRuleDaEtype1StCtrl", "IsecRudMgmtRule"):
            self.assertEqual((d[reg].entries, d[reg].register, d[reg].second_access), (1, True, True), reg)
        ets = d["EgressTimestampTable"]
        self.assertEqual(ets.instances, [[[147], [139]], [[148], [140]], [[149], [141]], [[150], [142]],
                                         [[151], [143]], [[152], [144]], [[153], [145]], [[154], [146]],
                                         [[155], []], [[156], []], [[157], []], [[52], []]])
        self.assertEqual((ets.entries, ets.register, ets.second_access, ets.units, ets.access_mode),
                         (72, True, True, "all but 511", 3))
        self.assertEqual((ets.parity_correction, ets.allocator, ets.suffix, ets.write_response_collection),
                         (False, "other", "::Read", None))
        for name in ("BscCollectorConfig", "BscExCollector"):
            self.assertEqual((d[name].instances, d[name].per_memory_counts, d[name].entries),
                             ([[[33], [34], [35]]], [1, 16, 1], 8))
        self.assertEqual((d["EsecSaTableRead"].instances, d["EsecSaTableRead"].second_access,
                          d["EsecSaTableRead"].access_mode), ([[[90]]], True, 3))
        self.assertEqual((d["L2HitSaOnly"].entries, d["L2HitSaOnly"].access_mode), (16384, 2))
        self.assertEqual((d["MirrorSessionTable"].entries, d["MirrorSessionTable"].instances), (4, [[[95], [64]]]))
        self.assertEqual(d["EsecFipsKeyReg"].instances, [[[i] for i in range(78, 89)]])
        self.assertEqual((d["EgrVlanTagActionProfileTable"].instances, d["EgrVlanTagActionProfileTable"].units,
                          d["EgrVlanTagActionProfileTable"].access_table),
                         ([[[59], [58]]], "only 511", "AmaMemEgrVlanTagActionProfileTable"))
        self.assertEqual({n for n, x in d.items() if x.download_interval}, {"IsecScTcam", "IsecSpTcam", "SubPortData"})
        self.assertEqual({n: x.command_builder_offsets for n, x in d.items() if x.command_builder_offsets},
                         {"EsecSaTable": [65, 66], "IsecSaTable": [67, 68]})
        self.assertEqual(sum(x.parity_correction for x in d.values()), 70)
        self.assertEqual({n for n, x in d.items() if x.suffix == "::Read"},
                         {"EgressTimestampTable", "EsecAesCalcIcvReg", "EsecFipsEncDataReg", "EsecFipsStatus",
                          "EsecSaTableRead", "FlowGroupCountersRead", "IsecAesCalcIcvReg", "IsecFipsEncDataReg",
                          "IsecFipsStatus", "L2HitSaOnly"})
        self.assertEqual({n for n, x in d.items() if x.access_mode == 4},
                         {"EsecFipsControl", "EsecFipsDataReg", "EsecFipsKeyReg", "EsecSaTable", "IsecCntrl",
                          "IsecFipsControl", "IsecFipsDataReg", "IsecFipsKeyReg", "IsecSaTable"})
        self.assertEqual({n for n, x in d.items() if x.allocator != "noOptimization"}, {"EgressTimestampTable"})


if __name__ == "__main__":
    unittest.main()
