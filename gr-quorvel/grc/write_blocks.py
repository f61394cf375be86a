"""Writes the GNU Radio Companion definitions of the blocks from their
templates (*.block.yml.in): one parameter, one make() keyword and one
callback per line of QUORVEL_AGC_SETTINGS (agc_settings.h), and the preset's
choices and the settings it gives from the preset table
(src/agc/agc_presets.h).

    python write_blocks.py SETTINGS_HEADER PRESETS_HEADER OUTPUT_DIR TEMPLATE...
"""

import pathlib
import re
import sys

SETTING = re.compile(r'^\s*X\((?P<type>[\w:]+), (?P<name>\w+), (?P<default>[^,]+), '
                     r'"(?P<label>[^"]*)", "(?P<what>[^"]*)"\)')
PRESET = re.compile(r'^\s*\{"(\w+)",')
PRESET_SETTING = re.compile(r'^\s*X\([\w:]+, (\w+)\)')
GRC_TYPE = {"double": "real", "int64_t": "int", "bool": "bool", "std::string": "string"}


def quoted(text):
    """A single-quoted YAML scalar."""
    return "'" + text.replace("'", "''") + "'"


def settings(header):
    rows = [m.groupdict() for m in map(SETTING.match, header.read_text().splitlines()) if m]
    if not rows:
        sys.exit(f"no X(type, name, default, \"label\", \"what\") lines in {header}")
    for row in rows:
        if row["type"] not in GRC_TYPE:
            sys.exit(f"{header}: no GNU Radio Companion type for {row['type']} ({row['name']})")
    return rows


def python_default(literal):
    """A C++ default as a Python expression: Companion evaluates parameters."""
    if literal in ("true", "false"):
        return literal.capitalize()
    return re.sub(r"\bINFINITY\b", "float('inf')", literal)


def parameter(row):
    """The parameter of one setting, its default in Python."""
    lines = [f"-   id: {row['name']}", f"    label: {quoted(row['label'])}",
             f"    dtype: {GRC_TYPE[row['type']]}", f"    default: {quoted(python_default(row['default']))}"]
    if row["type"] == "bool":
        lines += ["    options: ['True', 'False']", "    option_labels: ['On', 'Off']"]
    return "\n".join(lines)


def preset_parameter(names):
    return "\n".join([
        "-   id: preset", "    label: Preset", "    dtype: string", "    default: '\"\"'",
        "    options: [" + ", ".join(quoted(f'"{n}"') for n in ["", *names]) + "]",
        "    option_labels: [" + ", ".join(quoted(n) for n in ["none", *names]) + "]",
    ])


def main(settings_header, presets_header, output_dir, *templates):
    rows = settings(pathlib.Path(settings_header))
    table = pathlib.Path(presets_header).read_text().splitlines()
    presets = [m.group(1) for m in map(PRESET.match, table) if m]
    labels = {row["name"]: row["label"] for row in rows}
    given = [labels[m.group(1)] for m in map(PRESET_SETTING.match, table) if m]
    names = [row["name"] for row in rows] + ["preset"]
    fill = {
        "@PARAMETERS@": "\n".join([parameter(row) for row in rows] + [preset_parameter(presets)]),
        "@KEYWORDS@": ", ".join(f"{name}=${{{name}}}" for name in names),
        "@CALLBACKS@": "\n".join(f"    - set_{name}(${{{name}}})" for name in names),
        "@SETTINGS_DOC@": "\n".join(f"    {row['label']}: {row['what']}" for row in rows),
        "@PRESETS@": ", ".join(presets),
        "@PRESET_SETTINGS@": ", ".join(label[0].lower() + label[1:] for label in given),
    }
    for template in map(pathlib.Path, templates):
        text = template.read_text()
        for mark, value in fill.items():
            text = text.replace(mark, value)
        (pathlib.Path(output_dir) / template.name.removesuffix(".in")).write_text(text)


if __name__ == "__main__":
    main(*sys.argv[1:])
