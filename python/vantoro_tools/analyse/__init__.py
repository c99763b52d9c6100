"""What the files say: file facts, chromatograms and QC metrics, computed
from the scan walker; nothing here writes a file."""
