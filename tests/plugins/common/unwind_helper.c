/* A helper compiled with unwind tables, linked into a plug-in whose own code has none: the library
 * then has an exception-frame header (.eh_frame_hdr, PT_GNU_EH_FRAME) although no frame of the
 * plug-in can be unwound, as when a start-up file or a static helper library brings one. */
int ov_test_unwind_helper(int x);
int ov_test_unwind_helper(int x) { return x + 1; }
