// Wildcard matching of a product pattern against the board's product name: '*' matches any run
// of characters (also an empty one), '?' exactly one character, every other byte only itself.
#include "firmware.h"

// Returns 1 when Pattern matches the whole of Text, 0 otherwise. Both are zero-terminated 8-bit
// texts; the comparison is byte for byte and case-sensitive. A mismatch after a '*' backtracks:
// the pattern restarts just after that '*' and the '*' swallows one more character of the text.
int WildcardMatch(PCSTR Pattern, PCSTR Text)
{
    PCSTR resumePattern = NULL;
    PCSTR resumeText = NULL;

    if (Pattern == NULL || Text == NULL) {
        return 0;
    }

    // Literal prefix up to the first '*'.
    while (*Text != '\0' && *Pattern != '*') {
        if (*Pattern != *Text && *Pattern != '?') {
            return 0;
        }
        Pattern++;
        Text++;
    }

    while (*Text != '\0') {
        if (*Pattern == '*') {
            Pattern++;
            if (*Pattern == '\0') {
                return 1;
            }
            resumePattern = Pattern;
            resumeText = Text + 1;
        } else if (*Pattern == *Text || *Pattern == '?') {
            Pattern++;
            Text++;
        } else {
            // The literal prefix ended on a '*', so one has always been seen here.
            Pattern = resumePattern;
            Text = resumeText;
            resumeText++;
        }
    }

    while (*Pattern == '*') {
        Pattern++;
    }
    return *Pattern == '\0' ? 1 : 0;
}
