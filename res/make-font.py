#!/usr/bin/python3
"""Makes HelveticaNeueLTPro.ttf, the window's compiled-in font, from Open Sans Light.

The window's forms ask for the family "Helvetica Neue LT Pro". Rather than ship a
proprietary face we ship Open Sans Light (Apache-2.0), cut down to Latin so it stays
small inside the binary, and renamed so that the family the forms ask for resolves to
it once the program registers it. Glyph outlines, metrics, hinting and kerning are
left as they are. Also writes HelveticaNeueLTPro-LICENSE.txt next to the font.

Needs Debian's fonts-open-sans and python3-fonttools; run with Debian's python3:
    /usr/bin/python3 res/make-font.py [path/to/OpenSans-Light.ttf]
"""

import os
import sys

from fontTools import subset
from fontTools.ttLib import TTFont

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = "/usr/share/fonts/truetype/open-sans/OpenSans-Light.ttf"
COPYRIGHT = "/usr/share/doc/fonts-open-sans/copyright"
APACHE = "/usr/share/common-licenses/Apache-2.0"
OUT = os.path.join(HERE, "HelveticaNeueLTPro.ttf")
LICENSE_OUT = os.path.join(HERE, "HelveticaNeueLTPro-LICENSE.txt")

# Basic Latin, Latin-1, Latin Extended-A, and the punctuation, currency and
# symbols Western text uses: everything the window's English strings and
# file names from Western European users can contain.
UNICODES = (
    list(range(0x0020, 0x007F))
    + list(range(0x00A0, 0x0180))
    + [0x0192, 0x02C6, 0x02C7, 0x02D8, 0x02D9, 0x02DA, 0x02DB, 0x02DC, 0x02DD]
    + list(range(0x2010, 0x2028))
    + list(range(0x2030, 0x203B))
    + [0x2044, 0x2074, 0x20AC, 0x2122, 0x2190, 0x2191, 0x2192, 0x2193,
       0x2212, 0x2215, 0xFEFF, 0xFFFD]
)

TYPO_FAMILY = "Helvetica Neue LT Pro"
TYPO_STYLE = "45 Light"
FAMILY = "HelveticaNeueLT Pro 45 Lt"
STYLE = "Regular"
FULL_NAME = "Helvetica Neue LT Pro 45 Light"
PS_NAME = "HelveticaNeueLTPro-Lt"


def cut(source):
    options = subset.Options()
    options.layout_features = ["*"]      # keep ligatures and figure styles
    options.legacy_kern = True           # Open Sans kerns through the old kern table only
    options.name_IDs = ["*"]             # keep the copyright and licence records
    options.name_languages = ["*"]
    options.hinting = True               # the forms use 10-14 pt; hints help there
    options.notdef_outline = True
    options.glyph_names = False
    options.drop_tables += ["DSIG"]      # a signature is void once the font changes
    # Reading the source prints "'kern' subtable longer than defined": its kern
    # table outgrew the 16-bit length field. fontTools reads it whole regardless,
    # and the Latin subset written back fits the field.
    font = subset.load_font(source, options)
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=UNICODES)
    subsetter.subset(font)
    return font


def rename(font):
    name = font["name"]
    version = name.getDebugName(5) or "Version 1.10"
    records = {
        1: FAMILY,
        2: STYLE,
        3: f"{PS_NAME}; {version}; derived from Open Sans Light",
        4: FULL_NAME,
        5: f"{version}; Latin subset, renamed",
        6: PS_NAME,
        10: "Open Sans Light, cut down to Latin and renamed for the QIVO DFU tool.",
        16: TYPO_FAMILY,
        17: TYPO_STYLE,
    }
    # Replace every existing record for these IDs, on every platform, so no
    # old name is left for a font matcher to find.
    name.names = [r for r in name.names if r.nameID not in records]
    for name_id, text in records.items():
        name.setName(text, name_id, 3, 1, 0x409)   # Windows, Unicode BMP, en-US
        name.setName(text, name_id, 1, 0, 0)       # Macintosh, Roman, English


def write_license():
    with open(COPYRIGHT, encoding="utf-8") as f:
        copyright_text = f.read()
    with open(APACHE, encoding="utf-8") as f:
        apache = f.read()
    with open(LICENSE_OUT, "w", encoding="utf-8") as out:
        out.write("HelveticaNeueLTPro.ttf is Open Sans Light, cut down to Latin and renamed.\n"
                  "See HelveticaNeueLTPro-NOTICE.md for exactly what was changed.\n\n"
                  "Copyright and licence of Open Sans, as shipped by Debian's fonts-open-sans\n"
                  "(" + COPYRIGHT + "):\n\n")
        out.write(copyright_text.rstrip("\n") + "\n\n")
        out.write("=" * 78 + "\n")
        out.write("Full text of the Apache License, Version 2.0 (" + APACHE + "):\n\n")
        out.write(apache)


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else SOURCE
    font = cut(source)
    rename(font)
    font.recalcTimestamp = False         # same input, same bytes
    font.save(OUT)
    write_license()
    print(f"{OUT}: {os.path.getsize(OUT)} bytes, {len(font.getGlyphOrder())} glyphs")


if __name__ == "__main__":
    main()
