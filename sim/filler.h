#pragma once
// What surrounds the data on a real item page: links and styles in the head,
// the site navigation, shop decoration, recommendation lists, script modules
// and the footer. A set of such blocks is made once from the seed (GBK text);
// each page takes its share of them by the item's hash, so a page has the size
// and the make-up of a real one (100 to 300 KB) without being built anew on
// every request. None of the blocks holds a text that the client reads an item
// page by.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvora::sim {

class PageFiller {
 public:
  // `assets` is the address prefix of pictures and style sheets ("//127.0.0.1:P").
  PageFiller(uint64_t seed, const std::string& assets);

  // Head links of the Taobao page after its first metas (dns-prefetch, canonical).
  const std::string& taobaoHeadLinks() const { return taobaoHeadLinks_; }
  // Head links and loader scripts of the Tmall page.
  const std::string& tmallHeadLinks() const { return tmallHeadLinks_; }
  // A <style> block of the head.
  const std::string& style(uint64_t hash) const { return Pick(styles_, hash); }
  // The marketplace's navigation bar at the top of the body.
  const std::string& siteNav() const { return siteNav_; }
  // Appends shop decoration, recommendation lists and script modules chosen by
  // `hash` until `page` holds at least `size` bytes.
  void appendBody(std::string& page, uint64_t hash, size_t size) const;
  // A few script modules, for the smaller error pages.
  void appendScripts(std::string& page, uint64_t hash, int count) const;
  // The site footer with its closing scripts (ends with </html>).
  const std::string& footer(uint64_t hash) const { return Pick(footers_, hash); }

  // The size, 100 to 300 KB, that the page of the item with `hash` grows to.
  static size_t PageSize(uint64_t hash);

 private:
  static const std::string& Pick(const std::vector<std::string>& v, uint64_t hash) { return v[hash % v.size()]; }

  std::string taobaoHeadLinks_, tmallHeadLinks_, siteNav_;
  std::vector<std::string> styles_, decorations_, scripts_, footers_;
};

}  // namespace kelvora::sim
