"""Opening RAW files: the layout verdict, the one scan walker, and the
rules about scans (MS level, precursor, trailer keys). Built on vantoro's
public reader and the companion's native module alone."""
