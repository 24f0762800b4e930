"""Generated hostile objects against the walks and the compiler.

Keys whose finaliser changes the dict being walked, int-like values whose
``__index__`` changes containers under the walk or calls the validator again,
str keys hashed by identity that spell one field twice, and schema objects
whose attribute reads change a field map. Whatever they do, a call ends in a
result that is right for what the data held when it was visited, in
RecursionError, in the iteration fault, or in an exception a hook raised;
never in a crash. Where the hooks make the answer depend on the walk's order,
the weaker rule holds: data holding a value that fails its schema, and that no
hook moved, is never accepted.

An example is a plain recipe. Its objects are built afresh for every call, so
that nothing outside the data keeps a value alive (a finaliser must be able to
free it), and a failing recipe is its own reproducer: ``check_walk(...)`` or
``check_compile(...)`` with the printed arguments.
"""

import os
import sys

import reference_model as model
from compile_support import CHANGED_SIZE, GATES, KEYS_CHANGED, LIST_CHANGED, LIST_CHANGED_SIZE
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from validator_classes import BoolValidator, DictValidator, Int, ListValidator, StringValidator, Validator
from value_shapes import DictSub, StrSub, compiled

import quillane_core

# The suite runs a few seconds of this; tools/fuzz.sh --hostile runs it for hours.
EXAMPLES = int(os.environ.get("QUILLANE_FUZZ_EXAMPLES", "100"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# A tall-tree example nests hundreds of calls: a tenth as many of them.
TALL_TREE_SETTINGS = settings(SETTINGS, max_examples=max(EXAMPLES // 10, 5))
# A crash leaves no falsifying example behind: tools/fuzz.sh points this at a
# file that then holds the call that was running.
LAST_EXAMPLE = os.environ.get("QUILLANE_FUZZ_LAST")
# Re-entering hooks recurse until RecursionError on tall trees; elsewhere a
# few nested calls suffice, and the budget bounds the calls one example makes
# when several hooks re-enter from every level.
DEEP_REENTRIES, SHALLOW_REENTRIES = 2000, 8
# The interpreter's default, which the crash-free guarantee is about;
# hypothesis raises the limit around a test body.
DEFAULT_RECURSION_LIMIT = 1000
ALL, SHAPE = "every entry", "entry count or order"  # touches of a whole container, not of one entry
BIG, TEXT = 10**6, "q"  # arithmetic on these makes fresh objects that a finaliser can free


def note(call, *args):
    if LAST_EXAMPLE:
        with open(LAST_EXAMPLE, "w") as file:
            file.write(f"{call}{args!r}\n")


class Session:
    """One top-level call: what re-entering hooks rebuild, and what they may still do."""

    def __init__(self, schema, data=None, target=None, reentries=SHALLOW_REENTRIES):
        self.schema, self.data, self.target = schema, data, target
        self.armed = True
        self.reentries = reentries
        self.deliberate = []  # exceptions raised on purpose by hooks

    def reenter(self):
        """Fresh objects for one more nested call, or None when the budget is spent."""
        if not self.reentries:
            return None
        self.reentries -= 1
        build = Build(self, "data" if self.data else "schema")
        return build.data(self.schema, self.data) if self.data else build.schema(self.schema)


class Hook:
    """Under an Int node: its integer read runs ``actions`` once, may call the
    validator again on fresh data, and reads as ``result``."""

    def __init__(self, build, chain, links, actions, reenter, result):
        self.build, self.chain, self.links = build, chain, links
        self.actions, self.reenter, self.result = actions, reenter, result
        self.fired = False

    def __index__(self):
        session = self.build.session
        if session.armed and not self.fired:
            self.fired = True
            try:
                act_all(self.build, self.chain, self, self.actions)
                # One Python frame per nesting, as a plain recursive program has.
                if self.reenter and (data := session.reenter()) is not None:
                    getattr(session.target, self.reenter)(data)
            except BaseException:
                self.build.raised = True
                self.build.poison.append(self.links)
                raise
        return self.result


class DelKey(str):
    """A key whose finaliser runs ``actions`` against the dict it was a key of."""

    def __del__(self):
        if self.build.session.armed:
            act_all(self.build, self.chain, None, self.actions)


class IdStr(str):
    """Equal only to itself: two of them spell one field name twice in one dict."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


class Build:
    """The objects of one recipe, and what their hooks did to them."""

    def __init__(self, session, kind):
        self.session, self.kind = session, kind
        self.touched = set()  # (id(container), key name, index, ALL or SHAPE)
        self.poison = []  # guards of each value that fails its schema; see stable()
        self.owners = {}  # id(vars dict) -> the instance whose dict it is
        self.raised = False

    def fresh(self):
        return BIG * 1.5 if self.kind == "data" else Validator()

    def stable(self, guards):
        return not any(guard in self.touched or (guard[0], ALL) in self.touched for guard in guards)

    def key(self, recipe, chain):
        kind, name = recipe[:2]
        if kind == "del":
            key = DelKey(name)
            key.build, key.chain, key.actions = self, chain, recipe[2]
            return key
        return {"str": str, "sub": StrSub, "id": IdStr}[kind](name)

    def mapping(self, flavour, entries, chain, links, value_of):
        """A dict of ``entries``, each value made by ``value_of(name, recipe, chain, links)``."""
        owner = type("Bag", (), {})() if flavour == "vars" else None
        container = DictSub() if flavour == "sub" else {} if owner is None else vars(owner)
        if owner is not None:
            self.owners[id(container)] = owner
        chain += (container,)
        for key_recipe, recipe in entries:
            name = key_recipe[1]
            value = value_of(name, recipe, chain, (*links, (id(container), name)))
            if owner is not None:
                setattr(owner, name, value)
            else:
                container[self.key(key_recipe, chain)] = value
        return container

    def data(self, schema, recipe, chain=(), links=()):
        kind, tag = schema[0], recipe[0]
        if tag == "ok":
            return OK_VALUES[kind]()
        if tag == "bad":
            self.poison.append(links)
            return BAD_VALUES[kind]()
        if tag == "hook":
            _, good, reenter, actions = recipe
            if not good:
                self.poison.append(links)
            return Hook(self, chain, links, actions, reenter, 1 if good else 2**64)
        if tag == "list":
            items = []
            for index, item in enumerate(recipe[1]):
                items.append(self.data(schema[1], item, (*chain, items), (*links, (id(items), index))))
            return items
        fields = dict(schema[1]) if kind == "fields" else None
        container = self.mapping(
            recipe[1],
            recipe[2],
            chain,
            links,
            lambda name, item, chain, links: self.data(
                schema[1] if fields is None else fields.get(name, ("any",)), item, chain, links
            ),
        )
        if fields is not None and sorted(str.__str__(key) for key in container) != sorted(fields):
            # A missing or extra name, or one name spelled by two keys.
            self.poison.append((*links, (id(container), SHAPE)))
        return container

    def schema(self, recipe, chain=(), links=()):
        tag = recipe[0]
        if tag == "leaf":
            return {"Validator": Validator, "BoolValidator": BoolValidator}[recipe[1]]()
        if tag == "mutator":
            return schema_hook(self, chain, *recipe[1:])
        return self.mapping("plain", recipe[1], chain, links, lambda name, sub, chain, links: self.schema(sub, chain))


OK_VALUES = {
    "any": lambda: BIG * 1.5,
    "bool": lambda: True,
    "int": lambda: BIG + 1,
    "str": lambda: TEXT * 2,
}
BAD_VALUES = {
    "bool": lambda: BIG + 1,
    "int": lambda: TEXT * 2,
    "str": lambda: BIG + 1,
    "list": lambda: TEXT * 2,
    "dict": lambda: [BIG + 1],
    "fields": lambda: [BIG + 1],
}


def schema_hook(build, chain, class_name, variant, actions):
    """A validator object whose first gate read runs ``actions`` once, through a
    property or through ``__getattr__``."""
    fired = []

    def fire():
        if build.session.armed and not fired:
            fired.append(True)
            try:
                act_all(build, chain, None, actions)
            except BaseException:
                build.raised = True
                raise

    if variant == "property":
        namespace = {**GATES, "_coerce": property(lambda self: fire() or False)}
    else:

        def __getattr__(self, name):
            if name not in GATES:
                raise AttributeError(name)
            fire()
            return GATES[name]

        namespace = {"__getattr__": __getattr__}
    return type(class_name, (), namespace)()


# What hooks do ---------------------------------------------------------------


def act_all(build, chain, me, actions):
    """Runs each action on a container of ``chain``: ``up`` levels above the
    innermost one. ``me`` is the hook; pick -1 means the entry on its path."""
    for action in actions:
        kind, *args = action
        if kind == "raise":
            error = ValueError("raised by a hook") if args[0] == "ValueError" else KeyboardInterrupt()
            build.session.deliberate.append(error)
            raise error
        if kind == "reenter":
            if (schema := build.session.reenter()) is not None:
                quillane_core.compile_schema(schema)
            continue
        if not chain:
            continue
        level = max(len(chain) - 1 - args[0], 0)
        child = chain[level + 1] if level + 1 < len(chain) else me
        (act_on_list if isinstance(chain[level], list) else act_on_dict)(build, chain[level], child, kind, args[1:])


def pick(entries, child, index):
    if index == -1:
        for position, value in entries:
            if value is child:
                return position
    keys = [position for position, _ in entries]
    return keys[index % len(keys)] if keys else None


def act_on_list(build, items, child, kind, args):
    if kind == "extend":
        items.extend([build.fresh(), build.fresh()])  # past the walk's end: nothing visited moves
        build.touched.add((id(items), SHAPE))
        return
    if kind == "shrink":
        del items[args[0] :]
    elif kind == "insert":
        items.insert(0, build.fresh())
    elif (index := pick(list(enumerate(items)), child, args[0])) is None:
        return
    elif kind == "replace":
        items[index] = build.fresh()
        build.touched.add((id(items), index))
        return
    elif kind == "delete":
        del items[index]
    else:  # churn, swap: the same items in another order
        items.append(items.pop(index))
    build.touched.add((id(items), ALL))


def act_on_dict(build, mapping, child, kind, args):
    ident = id(mapping)
    if kind == "shrink":
        while len(mapping) > args[0]:
            mapping.popitem()
        build.touched.add((ident, ALL))
        return
    if kind in ("insert", "extend"):
        name = args[0] if kind == "insert" else "z"
        mapping[name] = build.fresh()
        build.touched |= {(ident, name), (ident, SHAPE)}
        return
    key = pick(list(mapping.items()), child, args[0])
    if key is None:
        return
    build.touched |= {(ident, str.__str__(key)), (ident, SHAPE)}
    if kind == "replace":
        mapping[key] = build.fresh()
    elif kind == "delete":
        del mapping[key]
    elif kind == "swap":  # another key for the same value, at constant size
        mapping[args[1]] = mapping.pop(key)
        build.touched.add((ident, args[1]))
    else:  # churn: out and back in, until the table is rebuilt
        owner = build.owners.get(ident)
        for _ in range(args[1]):
            if owner is not None:
                value = getattr(owner, key)
                delattr(owner, key)
                setattr(owner, key, value)
            else:
                mapping[key] = mapping.pop(key)


# Recipes ---------------------------------------------------------------------

UPS = st.sampled_from([0, 0, 0, 1, 2])
PICKS = st.sampled_from([-1, -1, 0, 1, 2])
NAMES = st.sampled_from("abcdz")
key_actions = st.one_of(
    st.tuples(st.just("delete"), UPS, PICKS),
    st.tuples(st.just("insert"), UPS, NAMES),
    st.tuples(st.just("replace"), UPS, PICKS),
)
structural_actions = st.one_of(
    key_actions,
    st.tuples(st.just("churn"), UPS, PICKS, st.sampled_from([1, 2, 3, 8])),
    st.tuples(st.just("swap"), UPS, PICKS, NAMES),
    st.tuples(st.just("shrink"), UPS, st.integers(0, 2)),
    st.tuples(st.just("extend"), UPS),
)
raises = st.tuples(st.just("raise"), st.sampled_from(["ValueError", "KeyboardInterrupt"]))
hook_actions = st.lists(st.one_of(structural_actions, structural_actions, raises), max_size=2).map(tuple)


def key_recipes(name):
    return st.one_of(
        st.sampled_from([("str", name), ("str", name), ("sub", name), ("id", name)]),
        st.tuples(st.just("del"), st.just(name), st.lists(key_actions, min_size=1, max_size=2).map(tuple)),
    )


schema_recipes = st.recursive(
    st.sampled_from([("int",), ("int",), ("int",), ("str",), ("bool",), ("any",)]),
    lambda children: st.one_of(
        st.tuples(st.just("list"), children),
        st.tuples(st.just("dict"), children),
        st.tuples(
            st.just("fields"),
            st.lists(st.tuples(NAMES, children), min_size=1, max_size=4, unique_by=lambda f: f[0]).map(tuple),
        ),
    ),
    max_leaves=6,
)


@st.composite
def data_recipes(draw, schema):
    kind = schema[0]
    if kind == "any":
        return ("ok",)
    if draw(st.integers(0, 9)) == 0:
        return ("bad",)
    if kind == "int" and draw(st.booleans()):
        reenter = draw(st.sampled_from([None, None, None, "validate", "collect"]))
        return ("hook", draw(st.booleans()), reenter, draw(hook_actions))
    if kind in ("int", "str", "bool"):
        return ("ok",) if draw(st.integers(0, 3)) else ("bad",)
    if kind == "list":
        return ("list", tuple(draw(st.lists(data_recipes(schema[1]), max_size=4))))
    if kind == "dict":
        names = draw(st.lists(NAMES, max_size=4, unique=True))
        subs = dict.fromkeys(names, schema[1])
    else:
        subs = dict(schema[1])
        names = [name for name in subs if draw(st.integers(0, 9))]
        names += draw(st.lists(NAMES, max_size=1))  # one name twice, or a name of no field
    flavour = draw(st.sampled_from(["plain", "plain", "plain", "sub", "vars"]))
    entries = []
    for name in draw(st.permutations(names)):
        # Only a key hashed by identity can spell a name that is already a key.
        twice = any(key[1] == name for key, _ in entries)
        if twice and flavour == "vars":
            continue
        key = ("id", name) if twice else ("str", name) if flavour == "vars" else draw(key_recipes(name))
        entries.append((key, draw(data_recipes(subs.get(name, ("any",))))))
    return ("dict", flavour, tuple(entries))


@st.composite
def tall_trees(draw):
    """A chain of containers as tall as the unguarded walks go and beyond, with
    data as deep whose leaf calls the validator again on data like itself."""
    height = draw(st.one_of(st.integers(1, 100), st.integers(56, 66)))
    schema, data = ("int",), ("hook", True, draw(st.sampled_from(["validate", "collect"])), ())
    for kind in draw(st.lists(st.sampled_from(["list", "dict", "fields"]), min_size=height - 1, max_size=height - 1)):
        if kind == "list":
            schema, data = ("list", schema), ("list", (data,))
        else:
            schema = ("dict", schema) if kind == "dict" else ("fields", (("a", schema),))
            data = ("dict", "plain", ((("str", "a"), data),))
    return schema, data


def schema_key_recipes(name):
    return st.one_of(
        st.sampled_from([("str", name), ("str", name), ("sub", name)]),
        st.tuples(st.just("del"), st.just(name), st.lists(key_actions, min_size=1, max_size=2).map(tuple)),
    )


@st.composite
def field_maps(draw, values):
    names = draw(st.lists(NAMES, min_size=1, max_size=4, unique=True))
    return ("map", tuple((draw(schema_key_recipes(name)), draw(values)) for name in names))


schema_leaves = st.one_of(
    st.tuples(st.just("leaf"), st.sampled_from(["Validator", "BoolValidator"])),
    st.tuples(
        st.just("mutator"),
        st.sampled_from(["Validator", "BoolValidator"]),
        st.sampled_from(["property", "getattr"]),
        st.lists(st.one_of(structural_actions, raises, st.just(("reenter",))), max_size=2).map(tuple),
    ),
)
hostile_schemas = field_maps(st.one_of(schema_leaves, schema_leaves, field_maps(schema_leaves)))

# Checks ----------------------------------------------------------------------


def schema_object(recipe):
    kind = recipe[0]
    if kind == "fields":
        return {name: schema_object(sub) for name, sub in recipe[1]}
    if kind in ("list", "dict"):
        return (ListValidator if kind == "list" else DictValidator)(schema_object(recipe[1]))
    return {"any": Validator, "bool": BoolValidator, "int": Int, "str": lambda: StringValidator(max_len=3)}[kind]()


def outcome(call):
    previous = sys.getrecursionlimit()
    sys.setrecursionlimit(DEFAULT_RECURSION_LIMIT)
    try:
        return "value", call()
    except BaseException as error:
        return "raised", error
    finally:
        sys.setrecursionlimit(previous)


def assert_allowed(error, session):
    if any(error is deliberate for deliberate in session.deliberate) or isinstance(error, RecursionError):
        return
    if isinstance(error, KeyboardInterrupt):
        raise error  # from the keyboard, not from a hook
    assert (type(error).__module__, type(error).__name__) == ("pyo3_runtime", "PanicException"), repr(error)
    assert error.args[0] in (CHANGED_SIZE, KEYS_CHANGED, LIST_CHANGED_SIZE, LIST_CHANGED)


def check_walk(schema, data, method, reentries=SHALLOW_REENTRIES):
    """One validate or collect of hostile data; see the module's docstring."""
    note("check_walk", schema, data, method, reentries)
    validator = compiled(schema_object(schema))
    session = Session(schema, data, validator, reentries)
    build = Build(session, "data")
    value = build.data(schema, data)
    result = outcome(lambda: getattr(validator, method)(value))
    session.armed = False
    if result[0] == "raised":
        assert_allowed(result[1], session)
        return
    answer = result[1]
    if method == "validate":
        assert answer is value or answer is None
    else:
        assert answer is None or isinstance(answer, list)
    if any(build.stable(guards) for guards in build.poison):
        # A value that fails its schema stayed where it was all along.
        assert (answer is None) if method == "validate" else (answer != [])
    if not build.touched and not build.raised:
        expected = getattr(model, method)(model.compile_schema(schema_object(schema)), value)
        if method == "validate" or None in (answer, expected):
            assert answer is expected
        else:
            assert [entry[:2] for entry in answer] == [entry[:2] for entry in expected]
            assert all(got[2] is want[2] for got, want in zip(answer, expected, strict=True))


def check_compile(recipe):
    """One compile of a field map whose own objects change it; see the module's docstring."""
    note("check_compile", recipe)
    session = Session(recipe)
    build = Build(session, "schema")
    schema = build.schema(recipe)
    names = [str.__str__(key) for key in schema]
    result = outcome(lambda: quillane_core.compile_schema(schema))
    session.armed = False
    if result[0] == "raised":
        assert_allowed(result[1], session)
        return
    assert result[1] is not None
    fields = [path for path, _, _ in result[1].collect({})]
    root = id(schema)
    # Every field that no hook touched was compiled, and nothing else was.
    assert {name for name in names if build.stable([(root, name)])} <= set(fields)
    assert set(fields) <= set(names) | {step for ident, step in build.touched if ident == root}
    if not build.touched and not build.raised:
        assert fields == names


@given(
    schema_recipes.flatmap(lambda schema: st.tuples(st.just(schema), data_recipes(schema))),
    st.sampled_from(["validate", "collect"]),
)
@SETTINGS
def test_hostile_data(case, method):
    check_walk(*case, method)


@given(tall_trees(), st.sampled_from(["validate", "collect"]))
@TALL_TREE_SETTINGS
def test_reentrant_walks_on_tall_trees(case, method):
    check_walk(*case, method, DEEP_REENTRIES)


@given(hostile_schemas)
@SETTINGS
def test_hostile_schemas(recipe):
    check_compile(recipe)
