# SPDX-License-Identifier: MIT
# A stand-in for Homebrew's Formula class, to run packaging/homebrew/camera-probe.rb
# on Debian (scripts/check-platform-packages): the declarations recorded, the
# install block run in a source tree with Homebrew's std_cmake_args, the test
# block against what it installed. Download, sandbox, keg, linking and the
# keg's metafiles are proven on macOS alone.
#
#   ruby homebrew_formula.rb FORMULA info
#   ruby homebrew_formula.rb FORMULA install SOURCE_DIR PREFIX
#   ruby homebrew_formula.rb FORMULA test PREFIX
require "pathname"

class Formula
  class << self
    attr_reader :declared, :test_block

    def declare(key, value)
      (@declared ||= Hash.new { |hash, name| hash[name] = [] })[key] << value
    end

    def desc(text) = declare(:desc, text)
    def homepage(url) = declare(:homepage, url)
    def url(url, **options) = declare(:url, [url, options])
    def sha256(digest) = declare(:sha256, digest)
    def license(name) = declare(:license, name)
    def depends_on(dependency) = declare(:depends_on, dependency)
    def test(&block) = @test_block = block

    # Homebrew takes the version from the tarball's name.
    def version
      url = declared[:url].first&.first.to_s
      url[/-(\d+(?:\.\d+)+)\.tar\.[a-z0-9]+\z/, 1]
    end
  end

  attr_reader :prefix

  def initialize(prefix) = @prefix = Pathname(prefix)
  def bin = prefix/"bin"

  # Formula#std_cmake_args of Homebrew 4 for a formula, on any system.
  def std_cmake_args
    %W[-DCMAKE_INSTALL_PREFIX=#{prefix} -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release
       -DCMAKE_FIND_FRAMEWORK=LAST -DCMAKE_VERBOSE_MAKEFILE=ON -Wno-dev -DBUILD_TESTING=OFF]
  end

  def system(*command)
    puts "==> #{command.join(" ")}"
    Kernel.system(*command) || raise("failed: #{command.join(" ")}")
  end

  def shell_output(command, expected_status = 0)
    output = IO.popen(["/bin/sh", "-c", command], &:read)
    status = $?.exitstatus
    raise "#{command}: exit status #{status}, not #{expected_status}" if status != expected_status

    output
  end

  def assert(condition, message = "assertion failed")
    raise message unless condition
  end

  def run_test = instance_exec(&self.class.test_block)
end

formula_file, action, *arguments = ARGV
load formula_file
formula_class = Formula.subclasses.first || abort("#{formula_file} defines no formula")
case action
when "info"
  declared = formula_class.declared
  puts "version=#{formula_class.version}"
  puts "url=#{declared[:url].first&.first}"
  puts "license=#{declared[:license].join(" ")}"
  puts "depends_on=#{declared[:depends_on].map(&:inspect).join(" ")}"
  puts "test=#{formula_class.test_block ? "yes" : "no"}"
when "install"
  source_dir, prefix = arguments
  Dir.chdir(source_dir) { formula_class.new(prefix).install }
when "test"
  formula_class.new(arguments.fetch(0)).run_test
  puts "test passed"
else
  abort "usage: #{$PROGRAM_NAME} FORMULA info|install SOURCE_DIR PREFIX|test PREFIX"
end
