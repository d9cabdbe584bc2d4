// The second build of SvcCpp: the same plug-in whose "Code" answers 2 (a reload's new code).
#define SVC_CODE 2
#include "svc_cpp.cpp"
