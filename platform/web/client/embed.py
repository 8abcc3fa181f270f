#!/usr/bin/env python3
"""Writes platform/web/web_assets.cpp from the page's files in this folder.

Run it after editing index.html, app.js, app.css or icon.svg; web_tests checks that the
program's copy matches these files.
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
FILES = [
    ("/", "index.html", "text/html; charset=utf-8"),
    ("/app.js", "app.js", "text/javascript; charset=utf-8"),
    ("/app.css", "app.css", "text/css; charset=utf-8"),
    ("/icon.svg", "icon.svg", "image/svg+xml"),
]
DELIMITER = "qbasset"
PIECE = 12000  # well under the compilers' limit for one string literal


def pieces(text):
    lines = text.splitlines(keepends=True)
    piece = ""
    for line in lines:
        if len(piece) + len(line) > PIECE and piece:
            yield piece
            piece = ""
        piece += line
    if piece:
        yield piece


def main():
    out = [
        "// Written by platform/web/client/embed.py from the files beside it: edit those, then run it.",
        '#include "platform/web/web_assets.h"',
        "",
        "#include <iterator>",
        "#include <string>",
        "",
        "namespace quillbox::web {",
        "",
        "namespace {",
        "",
    ]
    for index, (_, name, _) in enumerate(FILES):
        text = (HERE / name).read_text(encoding="utf-8")
        if ")" + DELIMITER + '"' in text:
            raise SystemExit(f"{name} holds the raw string delimiter")
        out.append(f"// {name}")
        out.append(f"const char* const kPieces{index}[] = {{")
        for piece in pieces(text):
            out.append(f'    R"{DELIMITER}({piece}){DELIMITER}",')
        out.append("};")
        out.append("")
    out.append("std::string join(const char* const* pieces, std::size_t count) {")
    out.append("  std::string text;")
    out.append("  for (std::size_t i = 0; i < count; ++i) text += pieces[i];")
    out.append("  return text;")
    out.append("}")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("const Asset* findAsset(std::string_view path) {")
    out.append("  static const std::string kTexts[] = {")
    for index, _ in enumerate(FILES):
        out.append(f"      join(kPieces{index}, std::size(kPieces{index})),")
    out.append("  };")
    out.append("  static const Asset kAssets[] = {")
    for index, (_, _, content_type) in enumerate(FILES):
        out.append(f'      {{"{content_type}", kTexts[{index}]}},')
    out.append("  };")
    out.append("  static constexpr std::string_view kPaths[] = {")
    for path, _, _ in FILES:
        out.append(f'      "{path}",')
    out.append("  };")
    out.append("  for (std::size_t i = 0; i < std::size(kPaths); ++i) {")
    out.append("    if (kPaths[i] == path) return &kAssets[i];")
    out.append("  }")
    out.append("  return nullptr;")
    out.append("}")
    out.append("")
    out.append("}  // namespace quillbox::web")
    (HERE.parent / "web_assets.cpp").write_text("\n".join(out) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
