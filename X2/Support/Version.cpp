// Identification of the table library, for tools and traces.
namespace bcm56275_a0 {
extern char const kLibraryName[] = "bcm56275_a0";
}
