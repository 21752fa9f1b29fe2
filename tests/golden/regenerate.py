"""Writes sample.json, the golden record of the default scheme: the vocabulary and the ids
of examples/sample.txt after two fixed trainings, one by each package. Run it only when a
change of vocabulary or ids is intended, and say why in the commit:

    .venv/bin/python tests/golden/regenerate.py
"""

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from golden_runs import companion_run, exact_run  # noqa: E402

if __name__ == "__main__":
    record = {"exact": exact_run(), "companion": companion_run()}
    (HERE / "sample.json").write_text(json.dumps(record, ensure_ascii=False, indent=0) + "\n", encoding="utf-8")
    print(f"wrote {HERE / 'sample.json'}")
