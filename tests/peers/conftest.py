import sys
from pathlib import Path

# Lets the tests import the scene builder and the comparison as plain modules.
sys.path.insert(0, str(Path(__file__).parent))
