// Built into sanitized builds only. Opening an image tries each format the library knows, and the
// tries that fail (VHD, VMDK) leave some of what they allocated unfreed, about a kilobyte for each
// image opened: not this program's to free, so LeakSanitizer is told to pass over it. Their stacks
// end inside the libraries, whose frames it cannot follow.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvhdi.so\n"
           "leak:libvmdk.so\n"
           "leak:tsk_malloc\n";
}
