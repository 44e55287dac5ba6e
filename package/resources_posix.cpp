// The ELF build's resources: the compiled resource file, embedded under the
// symbol "_rsrc" as a 32-bit size followed by the file, where the stand-in's
// resource lookup (System::FindResourceData) finds it.
#ifndef QEV_RESOURCE_FILE
#  error "QEV_RESOURCE_FILE names the compiled resource file"
#endif

asm(R"(
  .section .rodata
  .balign 4
  .globl _rsrc
  .type _rsrc, @object
_rsrc:
  .long 2f - 1f
1:
  .incbin ")" QEV_RESOURCE_FILE R"("
2:
  .size _rsrc, . - _rsrc
  .previous
)");
