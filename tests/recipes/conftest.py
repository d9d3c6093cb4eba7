import sys
from pathlib import Path

# The recipes are plain scripts; their functions are imported from examples/, and
# test folders come from the struct-based writer of the main suite.
ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
