// ParseDouble takes a shortcut for plain decimals; it must agree with strtod_l bit for bit,
// in the value and in where the number ends.
#include "c_numbers.h"

#include <QtTest>

#include <cstring>
#include <locale.h>
#include <random>

class TestCNumbers : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithStrtod_data();
    void agreesWithStrtod();
    void agreesWithStrtodOnRandomTexts();

private:
    static bool Agrees(const char* text);
};

bool TestCNumbers::Agrees(const char* text)
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    char* expectedEnd;
    char* end;
    const double expected = strtod_l(text, &expectedEnd, c);
    const double parsed = cnumbers::ParseDouble(text, &end);
    return std::memcmp(&expected, &parsed, sizeof parsed) == 0 && end == expectedEnd;
}

void TestCNumbers::agreesWithStrtod_data()
{
    QTest::addColumn<QByteArray>("text");
    for (const char* text : {"0",
                             "-0",
                             "+0.",
                             "-.5",
                             ".",
                             "-",
                             "1.5mm",
                             "1.2.3",
                             "2.25;",
                             "0.1",
                             "0.3",
                             "-12.345",
                             "9007199254740992",
                             "9007199254740993",
                             "18446744073709551617",
                             "1234567890123456789",
                             "0.0000000000000000000001",
                             "0.00000000000000000000001",
                             "1e3",
                             "1.5E-2",
                             "1.5e",
                             "0x1p3",
                             "0x",
                             " 7",
                             "inf",
                             "-nan",
                             "false",
                             "",
                             "99999999999999999999.5"})
        QTest::newRow(text) << QByteArray(text);
}

void TestCNumbers::agreesWithStrtod()
{
    QFETCH(QByteArray, text);
    QVERIFY(Agrees(text.constData()));
}

// Random decimals near the shortcut's limits, and random junk from the characters that can
// start or continue a number.
void TestCNumbers::agreesWithStrtodOnRandomTexts()
{
    std::mt19937_64 random(7);
    const char alphabet[] = "0123456789.-+eEx ";
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        if (i % 2 == 0) {
            char number[64];
            const int digits = int(random() % 21);
            std::snprintf(number, sizeof number, "%.*f", digits,
                          double(int64_t(random())) / double(uint64_t(1) << (random() % 63)));
            text = number;
        } else {
            for (int length = int(random() % 12); length > 0; --length)
                text += alphabet[random() % (sizeof alphabet - 1)];
        }
        if (!Agrees(text.c_str()))
            QFAIL(("differs from strtod_l: " + text).c_str());
    }
}

QTEST_APPLESS_MAIN(TestCNumbers)
#include "test_c_numbers.moc"
