# The operators' Windows package (filled in by the packaging work).
