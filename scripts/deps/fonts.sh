#!/usr/bin/env bash
# The fifteen bundled faces and the system sans (OFL), Latin subsets in WOFF2,
# fetched into the dependency cache; CMake embeds them into the binary.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# package@version sha256 file...
while read -r pkg sum files; do
  [ -n "$pkg" ] || continue
  dir=$("$root/scripts/fetch-npm" "$pkg" "$sum")
  for f in $files; do
    path="$dir/package/files/$f"
    [ -f "$path" ] || { echo "fonts: $pkg has no $f" >&2; exit 1; }
    [ "$(head -c 4 "$path")" = "wOF2" ] || { echo "fonts: $f is not WOFF2" >&2; exit 1; }
  done
done <<'LIST'
@fontsource-variable/inter@5.3.0 d26710dd38e7217484a1d47ee76c024977ec550548876f26d06ed1844af09a14 inter-latin-wght-normal.woff2
@fontsource-variable/playfair-display@5.3.0 5d9a6609ccc3c3bcba68c5b66981cce7d731bf5bb6e64a2ca6045ab05e527788 playfair-display-latin-wght-italic.woff2
@fontsource/ibm-plex-mono@5.3.0 60d3c0cfa549cb06fcb8867ee83f994d78e212abfac3bef3275436acb5c4d029 ibm-plex-mono-latin-400-normal.woff2
@fontsource-variable/montserrat@5.3.0 d51603ef08d0087a07497488cf20007b3499fd4f4466c8a791389468bc941dfb montserrat-latin-wght-normal.woff2
@fontsource/poppins@5.3.0 f4779bb12acaaa07dc7dd8da82ab0f61515fea2f30664535f7a249eeb0dd5bcf poppins-latin-700-normal.woff2
@fontsource-variable/oswald@5.3.0 962bdb468592daece384e9e32d90eb84344301135488ff7adabff88443da6700 oswald-latin-wght-normal.woff2
@fontsource/anton@5.3.0 796d0b1b7a503636458c0869ef9993659411c86443a4e4e7555ead4b29293db4 anton-latin-400-normal.woff2
@fontsource/bebas-neue@5.3.0 57928e0ee30b9e8a99033cdd5dc74ad06761007b4ad8fc32173e5d9072ba91fa bebas-neue-latin-400-normal.woff2
@fontsource-variable/space-grotesk@5.3.0 47d1b51d64ed541b7e74f38e9e682a8ff1bbfd1b68bfd7fff74ac9175058e73c space-grotesk-latin-wght-normal.woff2
@fontsource/dm-serif-display@5.3.0 ddfb21109ee8a7c82703527f1f2df378511d0d5161410eb345bb4a893c9fca4c dm-serif-display-latin-400-normal.woff2
@fontsource-variable/lora@5.3.0 754d8a7eefcf9fd6b11d2fee82377a0c92f82c29d5837c08dda57122d9abf5de lora-latin-wght-normal.woff2
@fontsource/abril-fatface@5.3.0 261304489f1ad9509af041947230865e79ae1e7c75c330b75d42d67a5c4a8aff abril-fatface-latin-400-normal.woff2
@fontsource-variable/caveat@5.3.0 2f50d55732648330ec8dcb4eef79666ef1131a57e7f0441975657a4b2ff20ba9 caveat-latin-wght-normal.woff2
@fontsource/pacifico@5.3.0 397f4f0a8a4c44e929cafa4cfede7240f7ac81a922f6779d3fefe2192c67d619 pacifico-latin-400-normal.woff2
@fontsource/bangers@5.3.0 7200b288ad26e3da1dd0a47dfb6f1712c4c327f038d84afe69a682c63a2c102c bangers-latin-400-normal.woff2
@fontsource-variable/noto-sans@5.3.0 2cd97f3573b6e8ceaaa54ddf5df3f8e64d89a5bb31954013700d36a7ec01dcd6 noto-sans-latin-wght-normal.woff2 noto-sans-latin-ext-wght-normal.woff2 noto-sans-cyrillic-wght-normal.woff2 noto-sans-greek-wght-normal.woff2
LIST
