"""The administrative templates (deploy/policy): OKAVU.admx describes every update policy value the program reads
and no other, as the program's own table has it (testtool policy-table: name, kind, range), in the program's key,
for the computer and the user alike; both language files define exactly the texts and controls it references;
its namespaces, references and revisions agree."""
import os
import re
from xml.etree import ElementTree

import harness
from harness import UPDATE_POLICY_ROOT, OkavuTestCase

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
POLICY_KEY = UPDATE_POLICY_ROOT + r"\Quillmere"
LANGUAGES = ("en-US", "zh-CN")
DECLARATION = b'<?xml version="1.0" encoding="utf-8"?>'
SCOPES = {"Machine": {"machine"}, "User": {"user"}, "Both": {"machine", "user"}}
REFERENCE = re.compile(r"\$\((string|presentation)\.([^)]*)\)")


def template(*parts):
    """(bytes, root element) of a file under deploy/policy."""
    with open(os.path.join(harness.source_dir(), "deploy", "policy", *parts), "rb") as f:
        data = f.read()
    return data, ElementTree.fromstring(data)


def children(element, path):
    found = element.find(path, NS)
    return list(found) if found is not None else []


def number(element, name):
    return int(element.get(name)) if element is not None and element.get(name) is not None else None


def decimal_of(policy, path):
    return number(policy.find(path + "/p:decimal", NS), "value")


def written(policy):
    """The policy's value as (name, kind, minimum, maximum), kinds as the program's table names them; the
    minimum and maximum of a switch are the 0 and 1 it writes, a version has none (0, 0)."""
    elements = children(policy, "p:elements")
    names = [policy.get("valueName")] if policy.get("valueName") else []
    names += [e.get("valueName") for e in elements]
    assert len(names) == 1, f"policy {policy.get('name')} writes {names}, not one value"
    assert all(e.get("key") in (None, POLICY_KEY) for e in elements), f"an element of {policy.get('name')} moves key"
    if not elements and (decimal_of(policy, "p:enabledValue"), decimal_of(policy, "p:disabledValue")) == (1, 0):
        return names[0], "switch", 0, 1
    if len(elements) != 1:
        return names[0], "unknown", None, None
    element, kind = elements[0], elements[0].tag.split("}")[1]
    if kind == "boolean" and (decimal_of(element, "p:trueValue"), decimal_of(element, "p:falseValue")) == (1, 0):
        return names[0], "switch", 0, 1
    if kind == "decimal" and element.get("storeAsText") != "true":
        return names[0], "number", number(element, "minValue"), number(element, "maxValue")
    if kind == "text" and element.get("expandable") != "true":
        return names[0], "version", 0, 0
    return names[0], "unknown", None, None


def references(root):
    """{"string": ids, "presentation": ids} that the ADMX's attributes reference."""
    found = {"string": set(), "presentation": set()}
    for element in root.iter():
        for value in element.attrib.values():
            for table, name in REFERENCE.findall(value):
                found[table].add(name)
    return found


def version(text):
    assert re.fullmatch(r"\d+\.\d+", text or ""), f"not a version string: {text!r}"
    return tuple(int(part) for part in text.split("."))


class PolicyTemplates(OkavuTestCase):
    def setUp(self):
        super().setUp()
        self.admx_bytes, self.admx = template("OKAVU.admx")
        self.policies = self.admx.findall("p:policies/p:policy", NS)
        self.adml = {language: template(language, "OKAVU.adml") for language in LANGUAGES}

    def test_every_value_the_program_reads_and_no_other_for_machine_and_user(self):
        rows = [line.split("\t") for line in self.tool("policy-table").stdout_text.splitlines()]
        self.assertGreater(len(rows), 0)
        self.assertTrue(all(len(row) == 4 for row in rows), rows)
        table = {name: (kind, int(low), int(high)) for name, kind, low, high in rows}
        self.assertEqual(len(table), len(rows), "a name twice in the program's table")

        described, scopes = {}, {}
        for policy in self.policies:
            self.assertEqual(policy.get("key"), POLICY_KEY, policy.get("name"))
            self.assertIn(policy.get("class"), SCOPES, policy.get("name"))
            name, *how = written(policy)
            self.assertEqual(described.setdefault(name, tuple(how)), tuple(how), f"{name} described two ways")
            scopes.setdefault(name, set()).update(SCOPES[policy.get("class")])
        self.assertEqual(described, table)
        self.assertEqual(scopes, {name: {"machine", "user"} for name in table})

    def test_both_languages_define_exactly_the_texts_and_controls_referenced(self):
        wanted = references(self.admx)
        for language, (data, adml) in self.adml.items():
            with self.subTest(language=language):
                self.assertTrue(data.startswith(DECLARATION))
                texts = adml.findall("p:resources/p:stringTable/p:string", NS)
                strings = [s.get("id") for s in texts]
                shown = {p.get("id"): p for p in adml.findall("p:resources/p:presentationTable/p:presentation", NS)}
                self.assertEqual(len(strings), len(set(strings)), "a string id twice")
                self.assertEqual(set(strings), wanted["string"])
                self.assertEqual(set(shown), wanted["presentation"])
                self.assertTrue(all((s.text or "").strip() for s in texts), "an empty string")
                for policy in self.policies:
                    elements = {e.get("id"): e for e in children(policy, "p:elements")}
                    match = REFERENCE.fullmatch(policy.get("presentation") or "")
                    self.assertEqual(match is not None, bool(elements), policy.get("name"))
                    if not match:
                        continue
                    controls = [c for c in shown[match.group(2)] if c.get("refId")]
                    self.assertEqual(sorted(c.get("refId") for c in controls), sorted(elements), policy.get("name"))
                    for control in controls:
                        if control.tag.endswith("}decimalTextBox"):
                            element = elements[control.get("refId")]
                            self.assertLessEqual(number(element, "minValue"), number(control, "defaultValue") or 1)
                            self.assertLessEqual(number(control, "defaultValue") or 1, number(element, "maxValue"))

    def test_namespaces_references_and_revisions_agree(self):
        self.assertTrue(self.admx_bytes.startswith(DECLARATION))
        targets = self.admx.findall("p:policyNamespaces/p:target", NS)
        self.assertEqual([(t.get("prefix"), t.get("namespace")) for t in targets], [("okavu", "OKAVU.Policies.Quillmere")])
        using = {u.get("prefix"): u.get("namespace") for u in self.admx.findall("p:policyNamespaces/p:using", NS)}
        self.assertNotIn("okavu", using)
        self.assertNotIn("OKAVU.Policies.Quillmere", using.values())
        local = {"category": {c.get("name") for c in self.admx.findall("p:categories/p:category", NS)},
                 "supportedOn": {d.get("name") for d in self.admx.findall("p:supportedOn/p:definitions/p:definition", NS)}}
        used = set()
        for holder in self.policies + self.admx.findall("p:categories/p:category", NS):
            for tag, kind in (("p:parentCategory", "category"), ("p:supportedOn", "supportedOn")):
                for reference in holder.findall(tag, NS):
                    prefix, _, name = reference.get("ref").rpartition(":")
                    if prefix in ("", "okavu"):
                        self.assertIn(name, local[kind], reference.get("ref"))
                    else:
                        self.assertIn(prefix, using, reference.get("ref"))
                        used.add(prefix)
        self.assertTrue(all(p.find("p:supportedOn", NS) is not None for p in self.policies))
        self.assertEqual(used, set(using), "a using that nothing references")
        required = version(self.admx.find("p:resources", NS).get("minRequiredRevision"))
        for language, (_, adml) in self.adml.items():
            with self.subTest(language=language):
                self.assertGreaterEqual(version(adml.get("revision")), required)
                self.assertEqual(adml.get("schemaVersion"), self.admx.get("schemaVersion"))


if __name__ == "__main__":
    harness.main()
