"""Writing: the output formats and their writers, and the one output layer
(never over an input, never over a file vantoro did not write, whole or
not at all, one run per directory) that every file vantoro writes passes."""
