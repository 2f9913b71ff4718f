"""Whole units written the way real Delphi code is written: the trees of
their classes, records, interfaces and helpers have the expected shapes,
and every line of the tree text is well formed."""

import functools
import re
from pathlib import Path

import pytest

import tarnwick
from treereader import read_tree

DATA = Path(__file__).parent / "data"
UNITS = ["Tarn.Collections.pas", "Tarn.Inventory.Model.pas", "Tarn.Geometry.pas",
         "Tarn.Services.pas"]

NODE_KINDS = set("""
Unknown Absolute Add Addr AlignmentParam And AnonymousMethod Arguments As Assign At Attribute
Attributes Bounds Call Case CaseElse CaseLabel CaseLabels CaseSelector ClassConstraint Constant
Constants Constraints ConstructorConstraint Contains Default Deref Dimension Div Dot DownTo
Element Else EmptyStatement Enum Equal Except ExceptionHandler Exports Expression Expressions
External FDiv Field Fields Finalization Finally For From Generic Goto Greater GreaterEqual Guid
Helper Identifier If Implementation Implements In Index Indexed Inherited Initialization
Interface Is Label LHS Literal Lower LowerEqual Message Method Mod Mul Name NamedArgument
NotEqual Not Or Package Parameter Parameters Path PositionalArgument Protected Private Property
Public Published Raise Read RecordConstraint Repeat Requires ResolutionClause ResourceString
ReturnType RHS RoundClose RoundOpen Set Shl Shr Statement Statements StrictPrivate
StrictProtected Sub Subrange Then To Try Type TypeArgs TypeDecl TypeParam TypeParams TypeSection
Value Variable Variables Xor UnaryMinus Unit Uses While With Write AnsiComment BorComment
SlashesComment IsNot NotIn InterfaceConstraint UnmanagedConstraint Procedure Function
Constructor Destructor Operator Stored Dispid VarParam OutParam ConstParam
""".split())
assert len(NODE_KINDS) == 147

NODE_LINE = re.compile(
    r"(?P<indent>(?:  )*)nt(?P<kind>[A-Za-z]+) line=(\d+) col=(\d+) end_line=(\d+) end_col=(\d+)"
    r"(?P<attrs>(?: [a-z]+=.*?)*?) source_positions=(?P<pos>\d+:\d+(?:,\d+:\d+)*)")


def source(name):
    return (DATA / name).read_text(encoding="utf-8")


@functools.lru_cache(maxsize=None)
def tree(name):
    """The root of a unit's tree (read once; tests only look at it)."""
    file_name, root = read_tree(tarnwick.parse_to_serialized(source(name), name))
    assert file_name == name
    return root


def type_decls(root):
    """Every TypeDecl of the unit by name (the last one of a name wins)."""
    return {d.attrs["name"]: d for d in root.find_all("TypeDecl")}


def body(root, name):
    """The Type node a type declaration defines."""
    decl = type_decls(root)[name]
    return decl.children[-1]


def member_names(section):
    out = []
    for m in section.children:
        if m.kind == "Field":
            out.append(("Field", m.child("Name").value))
        else:
            out.append((m.kind, m.attrs.get("name")))
    return out


def attribute_names(node):
    return [a.attrs["name"] for a in node.child("Attributes").children]


# ---- Every line is well formed ------------------------------------------------

@pytest.mark.parametrize("name", UNITS)
def test_every_node_line_is_well_formed(name):
    text = source(name)
    line_count = text.count("\n") + 1
    out = tarnwick.parse_to_serialized(text, name)
    lines = out.split("\n")
    assert lines[0] == f"# file_name={name}"
    assert not out.endswith("\n")
    previous_depth = -1
    last_was_node = False
    nodes = 0
    for line in lines[1:]:
        stripped = line.lstrip(" ")
        depth = (len(line) - len(stripped)) // 2
        if stripped.startswith("value="):
            assert last_was_node and depth == previous_depth + 1, line
            last_was_node = False
            continue
        match = NODE_LINE.fullmatch(line)
        assert match, line
        assert len(match["indent"]) % 2 == 0
        assert match["kind"] in NODE_KINDS, line
        assert depth <= previous_depth + 1, line
        start_line, start_col, end_line, end_col = (int(match.group(i)) for i in range(3, 7))
        assert 1 <= start_line <= end_line <= line_count, line
        assert start_col >= 1 and end_col >= 1, line
        assert (start_line, start_col) <= (end_line, end_col), line
        keys = re.findall(r" ([a-z]+)=", match["attrs"])
        assert keys == sorted(keys), line
        for pair in match["pos"].split(","):
            pos_line, pos_col = map(int, pair.split(":"))
            assert 1 <= pos_line <= line_count and pos_col >= 1, line
        previous_depth = depth
        last_was_node = True
        nodes += 1
    # The reader sees exactly the node lines checked above.
    root = read_tree(out)[1]
    assert sum(1 for _ in root.walk()) == nodes


@pytest.mark.parametrize("name, methods", [
    ("Tarn.Collections.pas", 85),
    ("Tarn.Inventory.Model.pas", 78),
    ("Tarn.Geometry.pas", 56),
    ("Tarn.Services.pas", 64),
])
def test_method_count(name, methods):
    # Every routine heading of the unit: declarations in type bodies and in
    # the interface section, implementations and nested routines.
    assert len(tree(name).find_all("Method")) == methods


@pytest.mark.parametrize("name", UNITS)
def test_unit_sections(name):
    root = tree(name)
    assert root.attrs == {"kind": "unit", "name": name[:-4]}
    assert root.kinds() == ["Interface", "Implementation"]


# ---- Tarn.Collections: generic collections with constraints --------------------

def test_generic_list_class():
    root = tree("Tarn.Collections.pas")
    decl = type_decls(root)["TTarnList"]
    assert decl.kinds() == ["TypeParams", "Type"]
    t = decl.child("Type")
    assert t.attrs == {"type": "class"}
    assert [a.attrs["name"] for a in t.children[:2]] == ["TInterfacedObject", "IEnumerable<T>"]
    assert t.kinds()[2:] == ["Public", "Private", "Protected", "Public"]
    # The nested enumerator class lives in the first public section.
    nested = t.children[2].child("TypeSection").child("TypeDecl")
    assert nested.attrs["name"] == "TEnumerator"
    enumerator = nested.child("Type")
    assert enumerator.kinds() == ["Type", "Type", "Private", "Public"]
    assert member_names(enumerator.child("Private")) == [
        ("Field", "FList"), ("Field", "FIndex"), ("Method", "GetCurrent")]
    private = t.children[3]
    assert member_names(private) == [
        ("Field", "FItems"), ("Field", "FCount"), ("Field", "FOnNotify"), ("Constants", None),
        ("Method", "GetItem"), ("Method", "SetItem"), ("Method", "GetCapacity"),
        ("Method", "SetCapacity"), ("Method", "Grow")]
    items_type = private.children[0].child("Type")
    assert items_type.attrs == {"type": "array"}
    assert items_type.child("Type").attrs == {"name": "T"}
    public = t.children[5]
    assert [m.attrs["name"] for m in public.children if m.kind == "Property"] == [
        "Capacity", "Count", "Items", "OnNotify"]
    items = [m for m in public.children if m.attrs.get("name") == "Items"][0]
    assert items.kinds() == ["Parameter", "Type", "Read", "Write", "Default"]
    assert items.child("Default").children == []
    creates = [m for m in public.children if m.attrs.get("name") == "Create"]
    assert [m.attrs.get("overload") for m in creates] == ["true", "true"]


@pytest.mark.parametrize("name, constraint_kinds", [
    ("TTarnObjectList", ["ClassConstraint"]),
    ("TTarnDictionary", ["RecordConstraint"]),
    ("TTarnFactory", ["ClassConstraint", "ConstructorConstraint"]),
])
def test_generic_constraints(name, constraint_kinds):
    root = tree("Tarn.Collections.pas")
    params = type_decls(root)[name].child("TypeParams")
    (param,) = params.children
    assert param.child("Constraints").kinds() == constraint_kinds


def test_generic_record_and_interfaces():
    root = tree("Tarn.Collections.pas")
    pair = type_decls(root)["TPair"]
    assert [p.child("Name").value for p in pair.child("TypeParams").children] == ["TKey", "TValue"]
    assert body(root, "TPair").kinds() == ["Field", "Field", "Method"]
    enumerator = body(root, "IEnumerator")
    assert enumerator.kinds() == ["Guid", "Method", "Method", "Property"]
    assert enumerator.child("Guid").attrs == {"name": "{8A7C5E10-2B44-4D2E-9F1A-6C3B2D1E0F99}"}


def test_procedural_event_type_and_queue():
    root = tree("Tarn.Collections.pas")
    event = body(root, "TCollectionNotifyEvent")
    assert event.attrs == {"type": "procedure", "kind": "object"}
    queue = body(root, "TTarnQueue")
    assert queue.kinds() == ["StrictPrivate", "Public"]
    enqueue = [m for m in queue.child("Public").children if m.attrs.get("name") == "Enqueue"][0]
    assert enqueue.attrs["inline"] == "true"


# ---- Tarn.Inventory.Model: classes with properties, events and attributes ------

def test_entity_class_with_attributes():
    root = tree("Tarn.Inventory.Model.pas")
    decls = [d for d in root.find_all("TypeDecl") if d.attrs["name"] == "TEntity"]
    forward, entity = decls
    assert forward.child("Type").attrs == {"type": "class"}
    assert forward.child("Type").children == []
    assert entity.kinds() == ["Attributes", "Type"]
    assert attribute_names(entity) == ["Abstract"]
    t = entity.child("Type")
    assert t.attrs == {"type": "class", "abstract": "true"}
    assert t.kinds() == ["Type", "StrictPrivate", "Private", "Protected", "Public"]
    private = t.child("Private")
    fid = private.children[0]
    assert fid.child("Name").value == "FId"
    assert fid.kinds() == ["Name", "Type", "Attributes"]
    assert attribute_names(fid) == ["Column", "PrimaryKey", "AutoIncrement"]
    column = fid.child("Attributes").children[0]
    assert column.child("Arguments").children[0].children[0].value == "id"
    get_display_name = t.child("Protected").children[1]
    assert get_display_name.attrs == {
        "kind": "function", "name": "GetDisplayName", "methodbinding": "virtual",
        "abstract": "true"}
    is_valid = [m for m in t.child("Public").children if m.attrs.get("name") == "IsValid"][0]
    assert is_valid.kinds() == ["ReturnType", "Attributes"]
    assert attribute_names(is_valid) == ["Validate"]


def test_product_class_sections_and_properties():
    root = tree("Tarn.Inventory.Model.pas")
    decl = type_decls(root)["TProduct"]
    assert attribute_names(decl) == ["Table", "Cached"]
    t = decl.child("Type")
    assert t.kinds() == ["Type", "Private", "Protected", "Public", "Published"]
    private = t.child("Private")
    fields = [m for m in private.children if m.kind == "Field"]
    assert [f.child("Name").value for f in fields] == [
        "FCode", "FTitle", "FPrice", "FStock", "FReorderLevel", "FSupplier", "FTags",
        "FOnLowStock"]
    assert [len(f.children) for f in fields] == [3, 3, 3, 3, 3, 3, 2, 2]
    assert attribute_names(fields[5]) == ["Weak"]
    precision = fields[2].child("Attributes").children[1]
    assert precision.attrs == {"name": "Precision"}
    assert [a.children[0].value for a in precision.child("Arguments").children] == ["12", "2"]
    published = t.child("Published")
    assert [p.attrs["name"] for p in published.children] == [
        "Code", "Title", "Price", "Stock", "ReorderLevel", "Supplier", "OnLowStock"]
    stock = published.children[3]
    assert stock.kinds() == ["Type", "Read", "Write", "Default"]
    assert stock.child("Default").children[0].value == "0"
    public = t.child("Public")
    code_is_valid = [m for m in public.children if m.attrs.get("name") == "CodeIsValid"][0]
    assert code_is_valid.attrs["deprecated"] == "use IsValid"
    assert attribute_names(code_is_valid) == ["Validate", "Deprecated"]
    tags = [m for m in public.children if m.attrs.get("name") == "Tags"][0]
    assert tags.kinds() == ["Parameter", "Type", "Read", "Default"]


def test_supplier_stored_properties_and_field_group():
    root = tree("Tarn.Inventory.Model.pas")
    t = body(root, "TSupplier")
    private = t.child("Private")
    phone, fax = [f for f in private.children if f.kind == "Field"][2:]
    assert phone.child("Type").attrs == fax.child("Type").attrs == {"name": "string"}
    published = t.child("Published")
    stored = [p.children[-1] for p in published.children]
    assert [(n.kind, n.attrs.get("kind")) for n in stored] == [
        ("Write", None), ("Write", None), ("Unknown", "stored"), ("Unknown", "stored")]


def test_inventory_class_members():
    root = tree("Tarn.Inventory.Model.pas")
    t = body(root, "TInventory")
    assert t.kinds() == ["Type", "Private", "Private", "Public", "Published"]
    class_vars, fields = t.children[1], t.children[2]
    assert [f.attrs.get("class") for f in class_vars.children] == ["true", "true"]
    assert all("class" not in f.attrs for f in fields.children if f.kind == "Field")
    public = t.child("Public")
    assert [(m.attrs.get("name"), m.attrs.get("class")) for m in public.children][:3] == [
        ("CreateClass", "true"), ("DestroyClass", "true"), ("Default", "true")]
    instance_count = public.children[-1]
    assert instance_count.attrs == {"name": "InstanceCount", "class": "true"}
    assert [p.attrs["name"] for p in t.child("Published").children] == ["OnChange", "OnValidate"]


def test_event_types_and_record():
    root = tree("Tarn.Inventory.Model.pas")
    assert body(root, "TValidateEvent").attrs == {"type": "reference"}
    assert body(root, "TEntityClass").attrs == {"type": "classref"}
    change = body(root, "TStockChange")
    assert member_names(change) == [
        ("Field", "Product"), ("Field", "OldStock"), ("Field", "NewStock"), ("Field", "When"),
        ("Method", "Create"), ("Method", "Delta")]
    assert change.children[4].attrs["static"] == "true"


# ---- Tarn.Geometry: records with variant parts, helpers and operators -----------

def test_point_record_with_operators():
    root = tree("Tarn.Geometry.pas")
    t = body(root, "TPointF")
    assert [m.kind for m in t.children] == ["Field", "Field"] + ["Method"] * 7
    operators = [m for m in t.children if m.attrs.get("kind") == "operator"]
    assert [m.attrs["name"] for m in operators] == [
        "Add", "Subtract", "Multiply", "Equal", "NotEqual"]
    assert all(m.attrs["class"] == "true" for m in operators)


@pytest.mark.parametrize("helper, target, members", [
    ("TPointFHelper", "TPointF", ["Method"] * 4),
    ("TRectFHelper", "TRectF", ["Private", "Public"]),
    ("TShapeHelper", "TShape", ["Method"] * 3),
    ("TIntegerHelper", "Integer", ["Method"] * 2),
])
def test_record_helpers(helper, target, members):
    root = tree("Tarn.Geometry.pas")
    t = body(root, helper)
    assert t.attrs == {"type": "record"}
    assert t.children[0].attrs == {"name": target}
    assert t.kinds()[1:] == members


def test_packed_record_with_untagged_variant():
    root = tree("Tarn.Geometry.pas")
    t = body(root, "TRectF")
    assert t.attrs == {"type": "packed"}
    inner = t.child("Type")
    assert inner.attrs == {"type": "record"}
    assert inner.kinds() == ["Type", "CaseLabels"] + ["Field"] * 4 + ["CaseLabels"] + ["Field"] * 2
    assert inner.children[0].attrs == {"name": "Integer"}


def test_shape_record_with_nested_variant_parts():
    root = tree("Tarn.Geometry.pas")
    t = body(root, "TShape")
    assert t.kinds() == (
        ["Field"] * 3 + ["Type"]
        + ["CaseLabels", "Field"]
        + ["CaseLabels", "Field", "Field"]
        + ["CaseLabels", "Field", "Field"]
        + ["CaseLabels", "Field", "Field"]
        + ["CaseLabels", "Field", "Type", "CaseLabels", "Field", "CaseLabels", "Field", "Field"])
    tags = [c.attrs["name"] for c in t.children if c.kind == "Type"]
    assert tags == ["TShapeKind", "Boolean"]
    labels = [c.child("CaseLabel").child("Literal").value for c in t.children
              if c.kind == "CaseLabels"]
    assert labels == ["skPoint", "skCircle", "skRect", "skPolygon", "skText", "True", "False"]
    fields = [c.child("Name").value for c in t.children if c.kind == "Field"]
    assert fields == ["Id", "Layer", "Color", "Position", "Center", "Radius", "Bounds",
                      "CornerRadius", "VertexCount", "Vertices", "Origin", "AnchorId",
                      "Angle", "FontSize"]


def test_transform_record_sections():
    root = tree("Tarn.Geometry.pas")
    t = body(root, "TTransform")
    assert t.kinds() == ["Private", "Public"]
    matrix = t.child("Private").child("Field").child("Type")
    assert matrix.attrs == {"type": "array"}
    assert [d.value for d in matrix.child("Bounds").children] == ["0..2", "0..2"]
    statics = [m for m in t.child("Public").children if m.attrs.get("static") == "true"]
    assert [m.attrs["name"] for m in statics] == ["Identity", "Translation", "Rotation"]


# ---- Tarn.Services: interfaces with GUIDs, dispinterfaces, delegation -----------

@pytest.mark.parametrize("name, guid", [
    ("ILogger", "{B3A1E7C2-4D5F-4A6B-9C8D-0E1F2A3B4C5D}"),
    ("IRepository", "{0F9E8D7C-6B5A-4938-A716-253443526170}"),
    ("IInventoryService", "{5E6F7081-92A3-4B4C-8D5E-6F708192A3B4}"),
    ("IInventoryDisp", "{C1D2E3F4-A5B6-4C7D-8E9F-A0B1C2D3E4F5}"),
])
def test_interface_guids(name, guid):
    root = tree("Tarn.Services.pas")
    t = body(root, name)
    assert t.child("Guid").attrs == {"name": guid}


def test_interfaces_members():
    root = tree("Tarn.Services.pas")
    logger = body(root, "ILogger")
    assert logger.kinds() == ["Guid", "Method", "Method", "Method", "Method", "Property"]
    service = body(root, "IInventoryService")
    assert service.children[0].attrs == {"name": "IInterface"}
    repository = type_decls(root)["IRepository"]
    (param,) = repository.child("TypeParams").children
    assert param.child("Constraints").child("Type").attrs == {"name": "TEntity"}


def test_dispinterface():
    root = tree("Tarn.Services.pas")
    t = body(root, "IInventoryDisp")
    assert t.attrs == {"type": "dispinterface"}
    count, products = t.find_all("Property")
    assert [(c.kind, c.attrs.get("kind")) for c in count.children] == [
        ("Type", None), ("Unknown", "readonly"), ("Unknown", "dispid")]
    assert products.kinds() == ["Parameter", "Type", "Unknown", "Unknown", "Default"]
    assert products.child("Parameter").attrs == {"kind": "const"}
    refresh = [m for m in t.children if m.attrs.get("name") == "Refresh"][0]
    assert refresh.kinds() == ["Message"]


def test_record_of_procedural_fields():
    root = tree("Tarn.Services.pas")
    t = body(root, "TNativeCallbacks")
    fields = {f.child("Name").value: f for f in t.children}
    assert list(fields) == ["OnProgress", "OnMessage", "Format", "UserData"]
    assert fields["OnProgress"].attrs == {"callingconvention": "stdcall"}
    assert fields["OnProgress"].child("Type").attrs == {
        "type": "procedure", "callingconvention": "stdcall"}
    assert fields["OnMessage"].attrs == {"callingconvention": "cdecl"}
    assert fields["Format"].attrs == {"callingconvention": "cdecl", "varargs": "true"}
    assert fields["Format"].child("Type").attrs["varargs"] == "true"
    assert fields["UserData"].attrs == {}


def test_delegating_service_classes():
    root = tree("Tarn.Services.pas")
    base = body(root, "TServiceBase")
    logger = [p for p in base.child("Public").children if p.attrs.get("name") == "Logger"][0]
    assert logger.kinds() == ["Type", "Read", "Implements"]
    decl = type_decls(root)["TInventoryService"]
    assert attribute_names(decl) == ["Service", "Transactional"]
    t = decl.child("Type")
    assert [a.attrs["name"] for a in t.children[:3]] == [
        "TServiceBase", "IInventoryService", "ILogger"]
    private = t.child("Private")
    products = [f for f in private.children if f.kind == "Field"][2]
    assert products.child("Type").attrs == {"name": "IRepository<TProduct>"}
    assert attribute_names(products) == ["Inject"]
    idle = [m for m in private.children if m.attrs.get("name") == "WMServiceIdle"][0]
    assert idle.kinds() == ["Parameters", "Message"]
    public = t.child("Public")
    owner, site = [m for m in public.children if m.kind == "Property"]
    assert owner.kinds() == site.kinds() == ["Type", "Index", "Read", "Write"]
    assert [p.child("Index").children[0].value for p in (owner, site)] == ["0", "1"]
    transactional = [m for m in public.children if m.kind == "Method" and
                     m.children and m.children[-1].kind == "Attributes"]
    assert [m.attrs["name"] for m in transactional] == ["Receive", "Issue"]


def test_locator_and_object_type():
    root = tree("Tarn.Services.pas")
    locator = body(root, "TServiceLocator")
    private = locator.child("Private")
    assert [(m.kind, m.attrs.get("class")) for m in private.children] == [
        ("Field", "true"), ("Field", "true"), ("Method", "true")]
    services = locator.child("Public").children[-1]
    assert services.attrs == {"name": "Services", "class": "true"}
    assert services.kinds() == ["Parameter", "Type", "Read", "Default"]
    try_find = [m for m in locator.child("Public").children if m.attrs.get("name") == "TryFind"][0]
    assert try_find.kinds()[0] == "TypeParams"
    legacy = body(root, "TLegacyCounter")
    assert legacy.attrs == {"type": "record"}
    assert legacy.kinds() == ["Private", "Public"]
    assert member_names(legacy.child("Public")) == [
        ("Method", "Reset"), ("Method", "Increment"), ("Method", "Value")]
