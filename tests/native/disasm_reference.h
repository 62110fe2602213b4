// Comparison of the decoder with independent disassemblers: GNU objdump run
// as a child process, and Zydis linked in when it is installed. Shared by the
// reference tests and by the disasm_compare tool that tools/disasm/compare_corpus.py runs
// over whole DLL code sections.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelvic::disasm::reference {

struct TReferenceInstruction {
  std::uint32_t Address = 0;
  std::uint32_t Length = 0;
  bool Valid = false;    // false for "(bad)" and ".byte" lines
  std::string Text;      // the reference's mnemonic and operands
};

// True when objdump can disassemble i386 code on this machine.
bool ObjdumpAvailable();

// Linear sweep of `bytes` placed at `base` by objdump (Intel syntax).
// Returns false when objdump could not be run.
bool ObjdumpSweep(const std::vector<std::uint8_t>& bytes, std::uint32_t base,
                  std::vector<TReferenceInstruction>& out, std::string& error);

struct TMismatch {
  std::uint32_t Address = 0;
  std::vector<std::uint8_t> Bytes;  // up to 16 bytes from the address
  std::uint32_t OurLength = 0;
  std::uint32_t ReferenceLength = 0;
  std::string ReferenceText;
  std::string OurText;
};

struct TComparison {
  std::uint64_t Compared = 0;          // both valid: lengths compared
  std::uint64_t ReferenceOnly = 0;     // valid only for the reference
  std::uint64_t OursOnly = 0;          // valid only for us
  std::uint64_t CallKindChecked = 0;   // relative call/jump targets compared
  std::uint64_t FusedWait = 0;         // WAIT + x87 instruction shown as one by objdump
  std::vector<TMismatch> Mismatches;   // first ones only
};

// Decodes at every address of the reference's sweep and compares length, and
// for relative calls and jumps also the kind and the target.
void CompareWithSweep(const std::vector<std::uint8_t>& bytes, std::uint32_t base,
                      const std::vector<TReferenceInstruction>& sweep, TComparison& result,
                      std::size_t max_mismatches = 20);

// Candidate instructions for the enumeration: prefix set x map x opcode x
// ModR/M x SIB. `full_sib` walks all 256 SIB bytes; else a sample that
// covers no index, no base and every scale.
struct TCandidateSet {
  std::vector<std::vector<std::uint8_t>> Prefixes = {{}, {0x66}, {0x67}, {0xF2}, {0xF3}};
  bool FullSib = false;
  // Only every n-th ModR/M byte (1: all of them).
  int ModRMStep = 1;
};
void ForEachCandidate(const TCandidateSet& set,
                      const std::function<void(const std::uint8_t* bytes, std::size_t size)>& visit);

// Runs every candidate that our decoder calls valid through objdump in one
// batch and compares the lengths.
bool CompareCandidatesWithObjdump(const TCandidateSet& set, TComparison& result, std::string& error);

#if defined(ZELVIC_HAVE_ZYDIS)
// Zydis length of the instruction at `bytes`, 0 when Zydis calls it invalid.
std::uint32_t ZydisLength(const std::uint8_t* bytes, std::size_t size);
void CompareCandidatesWithZydis(const TCandidateSet& set, TComparison& result);
#endif

std::string Hex(const std::vector<std::uint8_t>& bytes);
std::string Describe(const TMismatch& m);

}  // namespace zelvic::disasm::reference
