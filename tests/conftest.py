import os
import sys

# The schema classes and the reference model are imported by plain name.
sys.path.insert(0, os.path.dirname(__file__))
