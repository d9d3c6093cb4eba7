import sys
from pathlib import Path

# Lets tests import the file writer as a plain module.
sys.path.insert(0, str(Path(__file__).parent))
