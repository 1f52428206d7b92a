"""The Windows build of .github/workflows/windows.yml runs only on a Windows runner; the linter checks the
file's form (lint.workflow.*). What can be checked here besides: the workflow asks for presets that exist,
for Visual Studio with the unit tests on, and keeps both programs from where that preset builds them."""
import json
import os
import re
import unittest

import harness


def read_source(*parts):
    with open(os.path.join(harness.source_dir(), *parts), encoding="utf-8") as f:
        return f.read()


class WindowsWorkflow(unittest.TestCase):
    def test_the_workflow_builds_and_tests_with_a_visual_studio_preset_and_keeps_both_programs(self):
        workflow = read_source(".github", "workflows", "windows.yml")
        presets = json.loads(read_source("CMakePresets.json"))
        steps = re.findall(r"run: (cmake --preset|cmake --build --preset|ctest --preset) (\S+)$", workflow, re.M)
        self.assertEqual(steps, [("cmake --preset", "msvc-tests"), ("cmake --build --preset", "msvc-tests"),
                                 ("ctest --preset", "msvc-tests")])

        configure = {p["name"]: p for p in presets["configurePresets"]}
        resolved = {}
        preset = configure["msvc-tests"]
        while preset:  # a preset's own settings win over those it inherits
            resolved = {**preset, **resolved,
                        "cacheVariables": {**preset.get("cacheVariables", {}), **resolved.get("cacheVariables", {})}}
            preset = configure.get(preset.get("inherits"))
        self.assertEqual((resolved["generator"], resolved["architecture"]), ("Visual Studio 17 2022", "x64"))
        self.assertEqual(resolved["cacheVariables"].get("OKAVU_BUILD_TESTS"), "ON")
        for kind in ("buildPresets", "testPresets"):
            [used] = [p for p in presets[kind] if p["name"] == "msvc-tests"]
            self.assertEqual((used["configurePreset"], used["configuration"]), ("msvc-tests", "Release"), kind)

        binary_dir = resolved["binaryDir"].replace("${sourceDir}/", "")
        kept = re.findall(r"^\s+(\S+\.exe)$", workflow, re.M)
        self.assertEqual(kept, [f"{binary_dir}/Release/OKAVU.exe", f"{binary_dir}/Release/OKAVUw.exe"])


if __name__ == "__main__":
    harness.main()
