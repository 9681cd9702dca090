// Keeps the support library non-empty before the first helper lands.
namespace sealstation_testsupport {
int placeholder()
{
    return 0;
}
} // namespace sealstation_testsupport
