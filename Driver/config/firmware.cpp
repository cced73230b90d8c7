// Board identification: copies the firmware image from the top of the first megabyte of
// physical memory, finds the product name in it and keeps the name for pattern matching.
// Resident code: nothing here is pageable.
#include "firmware.h"

// Product-family prefixes, searched for in table order: the first row found anywhere in the
// image wins. Only the text up to the first zero byte of a row is searched for.
#define PRODUCT_PREFIX_FIELD 12
static constexpr CHAR ProductFamilyPrefixes[][PRODUCT_PREFIX_FIELD] = {
    "QIB-", "RZV", "WENK", "JUVO", "KERD", "ZYF", "OQT", "LUW", "BEX",
};
#define PRODUCT_PREFIX_COUNT (sizeof(ProductFamilyPrefixes) / sizeof(ProductFamilyPrefixes[0]))

// For each byte value, bit r set when row r's prefix begins with that byte: the one-pass prefix
// search looks at a position only when some row still in the running starts there.
typedef struct _PREFIX_START_TABLE {
    USHORT Rows[256];
} PREFIX_START_TABLE;

static_assert(PRODUCT_PREFIX_COUNT <= 16, "the start table holds 16 rows");

static constexpr PREFIX_START_TABLE MakePrefixStartTable()
{
    PREFIX_START_TABLE table = {};
    for (ULONG row = 0; row < PRODUCT_PREFIX_COUNT; row++) {
        if (ProductFamilyPrefixes[row][0] != '\0') {
            table.Rows[(UCHAR)ProductFamilyPrefixes[row][0]] |= (USHORT)(1u << row);
        }
    }
    return table;
}

static constexpr PREFIX_START_TABLE PrefixStarts = MakePrefixStartTable();

// What a search of the firmware image gave.
typedef enum _FIRMWARE_SEARCH {
    FirmwareNameFound,   // ProductName is set
    FirmwareHoldsNoName, // neither a family prefix nor a complete starred banner
    FirmwareNotSearched, // the image could not be mapped or copied, or the name not kept
} FIRMWARE_SEARCH;

static const CHAR BannerStart[] = "**** ";
static const CHAR BiosMarker[] = " BIOS";
static const CHAR BannerEnd[] = " ****";
static const CHAR Space[] = " ";

#define TEXT_LENGTH(Literal) ((ULONG)(sizeof(Literal) - 1))

// Length of the zero-terminated text at Text, stopping at the end of the image copy when no zero
// byte comes first.
static ULONG BoundedTextLength(const UCHAR* Text, ULONG Room)
{
    ULONG length = 0;

    while (length < Room && Text[length] != 0) {
        length++;
    }
    return length;
}

// Searches Data for Needle byte for byte. A needle standing at the very end of the data is not
// found: positions 0 to DataLength - NeedleLength - 1 are compared. On a hit the position is
// stored in *Offset; otherwise *Offset is left unchanged.
BOOLEAN FindBytes(const UCHAR* Data, ULONG DataLength, const UCHAR* Needle, ULONG NeedleLength,
                  PULONG Offset)
{
    ULONG position;

    if (Data == NULL || Needle == NULL || Offset == NULL || NeedleLength >= DataLength) {
        return FALSE;
    }
    for (position = 0; position < DataLength - NeedleLength; position++) {
        if (strncmp((const char*)Data + position, (const char*)Needle, NeedleLength) == 0) {
            *Offset = position;
            return TRUE;
        }
    }
    return FALSE;
}

// Copies the 0xFFFF bytes of physical memory from 0xF0000 into FirmwareImage. FALSE when a copy
// is already held, or when the mapping or the allocation fails.
BOOLEAN LoadFirmwareImage(VOID)
{
    PHYSICAL_ADDRESS address;
    PVOID mapping;

    if (Globals.FirmwareImage != NULL) {
        return FALSE;
    }

    address.QuadPart = FIRMWARE_IMAGE_BASE;
    mapping = MmMapIoSpace(address, FIRMWARE_IMAGE_LENGTH, MmCached);
    if (mapping == NULL) {
        return FALSE;
    }

    Globals.FirmwareImage =
        (PUCHAR)ExAllocatePoolWithTag(PagedPool, FIRMWARE_IMAGE_LENGTH, KWO_TAG_FIRMWARE);
    if (Globals.FirmwareImage != NULL) {
        memset(Globals.FirmwareImage, 0, FIRMWARE_IMAGE_LENGTH);
        memcpy(Globals.FirmwareImage, mapping, FIRMWARE_IMAGE_LENGTH);
    }

    MmUnmapIoSpace(mapping, FIRMWARE_IMAGE_LENGTH);
    return Globals.FirmwareImage != NULL ? TRUE : FALSE;
}

// Makes ProductName a zero-terminated copy of the first Length bytes of Text.
static BOOLEAN KeepProductName(const UCHAR* Text, ULONG Length)
{
    Globals.ProductName =
        (PCHAR)ExAllocatePoolWithTag(PagedPool, (SIZE_T)Length + 1, KWO_TAG_PRODUCT_NAME);
    if (Globals.ProductName == NULL) {
        return FALSE;
    }
    memcpy(Globals.ProductName, Text, Length);
    Globals.ProductName[Length] = '\0';
    return TRUE;
}

// The name that starts at a product-family prefix: the text up to " BIOS" when that follows
// later in the text, else up to the first space, else the whole text.
static BOOLEAN TakePrefixedName(ULONG Start)
{
    const UCHAR* text = Globals.FirmwareImage + Start;
    ULONG length = BoundedTextLength(text, FIRMWARE_IMAGE_LENGTH - Start);
    ULONG end;

    if (FindBytes(text, length, (const UCHAR*)BiosMarker, TEXT_LENGTH(BiosMarker), &end) ||
        FindBytes(text, length, (const UCHAR*)Space, TEXT_LENGTH(Space), &end)) {
        length = end;
    }
    return KeepProductName(text, length);
}

// The name inside the first starred banner "**** <name> BIOS ... ****". Both " BIOS" and the
// closing " ****" must be there; the closing stars may end the text.
static FIRMWARE_SEARCH TakeBannerName(VOID)
{
    ULONG banner;
    ULONG start;
    ULONG room;
    ULONG length;
    ULONG end;
    ULONG closing;
    ULONG searched;

    if (!FindBytes(Globals.FirmwareImage, FIRMWARE_IMAGE_LENGTH, (const UCHAR*)BannerStart,
                   TEXT_LENGTH(BannerStart), &banner)) {
        return FirmwareHoldsNoName;
    }
    start = banner + TEXT_LENGTH(BannerStart);
    room = FIRMWARE_IMAGE_LENGTH - start;
    length = BoundedTextLength(Globals.FirmwareImage + start, room);

    // The terminator is searched along with the text so that " ****" may stand at its very end;
    // a text that runs up to the end of the copy has no terminator to add.
    searched = length < room ? length + 1 : length;
    if (!FindBytes(Globals.FirmwareImage + start, length, (const UCHAR*)BiosMarker,
                   TEXT_LENGTH(BiosMarker), &end) ||
        !FindBytes(Globals.FirmwareImage + start, searched, (const UCHAR*)BannerEnd,
                   TEXT_LENGTH(BannerEnd), &closing)) {
        return FirmwareHoldsNoName;
    }
    return KeepProductName(Globals.FirmwareImage + start, end) ? FirmwareNameFound
                                                               : FirmwareNotSearched;
}

// Length of a prefix row: its text up to the first zero byte of the field.
static ULONG PrefixLength(ULONG Row)
{
    ULONG length = 0;

    while (length < PRODUCT_PREFIX_FIELD && ProductFamilyPrefixes[Row][length] != '\0') {
        length++;
    }
    return length;
}

// Finds the family prefix of the first table row that occurs anywhere in the image, at the
// lowest offset where that row occurs; a later row is not taken even where it occurs earlier.
// One pass: at each position only the rows before the best one found so far are compared, so
// a row is found at its first occurrence and the pass ends once the first row is found. As with
// FindBytes, a prefix standing at the very end of the image is not found.
static BOOLEAN FindFamilyPrefix(PULONG Offset)
{
    ULONG best = PRODUCT_PREFIX_COUNT;
    ULONG position;
    ULONG row;

    for (position = 0; position < FIRMWARE_IMAGE_LENGTH && best != 0; position++) {
        ULONG candidates = PrefixStarts.Rows[Globals.FirmwareImage[position]] & ((1u << best) - 1);

        for (row = 0; candidates != 0; row++, candidates >>= 1) {
            const ULONG length = PrefixLength(row);

            if ((candidates & 1) == 0 || length >= FIRMWARE_IMAGE_LENGTH - position) {
                continue;
            }
            if (strncmp((const char*)Globals.FirmwareImage + position, ProductFamilyPrefixes[row],
                        length) == 0) {
                best = row;
                *Offset = position;
                break;
            }
        }
    }
    return best < PRODUCT_PREFIX_COUNT ? TRUE : FALSE;
}

// Searches a fresh copy of the firmware image for the product name and keeps it in
// ProductName. The image copy is freed before returning; the name outlives it.
static FIRMWARE_SEARCH SearchFirmware(VOID)
{
    FIRMWARE_SEARCH result;
    ULONG offset = 0;

    if (!LoadFirmwareImage()) {
        return FirmwareNotSearched;
    }

    if (FindFamilyPrefix(&offset)) {
        result = TakePrefixedName(offset) ? FirmwareNameFound : FirmwareNotSearched;
    } else {
        result = TakeBannerName();
    }

    ExFreePoolWithTag(Globals.FirmwareImage, KWO_TAG_FIRMWARE);
    Globals.FirmwareImage = NULL;
    return result;
}

// Finds the product name in a fresh copy of the firmware image and keeps it in ProductName.
BOOLEAN FindProductName(VOID)
{
    if (Globals.ProductName != NULL) {
        return TRUE;
    }
    return SearchFirmware() == FirmwareNameFound ? TRUE : FALSE;
}

// Tests one pattern of a configuration load against the board's product name. The firmware is
// searched only while no name is held and this load has not found the firmware without one.
BOOLEAN MatchBoardPattern(PCSTR Pattern, PBOARD_IDENTITY Identity)
{
    if (Pattern == NULL || Identity == NULL) {
        return FALSE;
    }
    if (Globals.ProductName == NULL) {
        if (Identity->NoName) {
            return FALSE;
        }
        switch (SearchFirmware()) {
        case FirmwareNameFound:
            Identity->SearchedThisLoad = TRUE;
            break;
        case FirmwareHoldsNoName:
            Identity->NoName = TRUE;
            return FALSE;
        default:
            // Mapping or pool failure: the next pattern tries again.
            return FALSE;
        }
    }
    return WildcardMatch(Pattern, Globals.ProductName) != 0 ? TRUE : FALSE;
}

// After a pattern that did not match. A name kept from an earlier start is given up, so that
// the next pattern is tested against the firmware as it is now; a name this load found stays.
VOID BoardPatternMismatched(PBOARD_IDENTITY Identity)
{
    if (Identity == NULL || !Identity->SearchedThisLoad) {
        ReleaseProductName();
    }
}

// At the end of a configuration load: a name is kept only when a pattern matched it.
VOID EndBoardIdentification(PBOARD_IDENTITY Identity, BOOLEAN Matched)
{
    if (!Matched && Identity != NULL && Identity->SearchedThisLoad) {
        ReleaseProductName();
    }
}

// Tests one product pattern (8-bit, zero-terminated) against the board's product name, working
// the name out from the firmware first when none is held.
BOOLEAN MatchProductName(PCSTR Pattern)
{
    BOARD_IDENTITY identity = {FALSE, FALSE};

    return MatchBoardPattern(Pattern, &identity);
}

// Frees the product name and any image copy, so the next test reads the firmware afresh.
VOID ReleaseProductName(VOID)
{
    if (Globals.ProductName != NULL) {
        ExFreePoolWithTag(Globals.ProductName, KWO_TAG_PRODUCT_NAME);
        Globals.ProductName = NULL;
    }
    if (Globals.FirmwareImage != NULL) {
        ExFreePoolWithTag(Globals.FirmwareImage, KWO_TAG_FIRMWARE);
        Globals.FirmwareImage = NULL;
    }
}
